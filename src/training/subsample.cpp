#include "training/subsample.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "common/error.hpp"
#include "model/model.hpp"

namespace tarnivel {

KeepTable KeepTable::build(std::span<const uint64_t> counts, double sample) {
  double total = 0.0;
  for (const uint64_t c : counts) total += static_cast<double>(c);
  const double scaled = sample * total;  // s * N
  KeepTable table;
  table.thresholds_.reserve(counts.size());
  for (const uint64_t count : counts) {
    uint32_t threshold = kAlways;
    if (count > 0) {
      const double c = static_cast<double>(count);
      const double p = (std::sqrt(c / scaled) + 1.0) * scaled / c;
      const double scaled_p = std::floor(p * 4294967296.0);
      if (scaled_p < static_cast<double>(kAlways)) threshold = static_cast<uint32_t>(scaled_p);
    }
    table.thresholds_.push_back(threshold);
  }
  return table;
}

void check_subsampling(const Model& model) {
  if (model.params.sample > 0.0 && model.vocab.size() != 0 && !model.counts_known) {
    char sample[32];
    std::snprintf(sample, sizeof sample, "%g", model.params.sample);
    throw ValueError(std::string("sample=") + sample +
                     " needs the corpus count of every word, and this model's counts are unknown (a model "
                     "loaded from a vocabulary and matrix pair has none): set sample to 0, or continue "
                     "from a checkpoint (save_checkpoint keeps the counts)");
  }
}

std::optional<KeepTable> keep_table(const Model& model) {
  if (!(model.params.sample > 0.0) || model.vocab.size() == 0) return std::nullopt;
  check_subsampling(model);
  return KeepTable::build(model.vocab.counts, model.params.sample);
}

}  // namespace tarnivel
