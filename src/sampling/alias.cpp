#include "sampling/alias.hpp"

#include <cmath>

#include "common/error.hpp"

namespace tarnivel {

std::vector<double> noise_weights(std::span<const uint64_t> counts) {
  std::vector<double> p(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) p[i] = std::pow(static_cast<double>(counts[i]), 0.75);
  double total = -0.0;
  for (double v : p) total += v;
  if (total > 0.0) {
    for (double& v : p) v /= total;
  }
  return p;
}

AliasTable AliasTable::build(std::span<const double> weights) {
  AliasTable table;
  const std::size_t n = weights.size();
  if (n == 0) return table;

  std::vector<double> scaled(n);
  const auto n_double = static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) scaled[i] = weights[i] * n_double;

  // Both stacks are plain vectors used last-in first-out.
  std::vector<uint64_t> small;
  std::vector<uint64_t> large;
  for (std::size_t i = 0; i < n; ++i) (scaled[i] < 1.0 ? small : large).push_back(i);

  table.alias.assign(n, 0);
  // Stops as soon as either stack is empty; whatever remains on the other keeps its scaled value
  // and alias 0.
  while (!small.empty() && !large.empty()) {
    const uint64_t s = small.back();
    small.pop_back();
    const uint64_t l = large.back();
    large.pop_back();
    table.alias[s] = l;
    scaled[l] = (scaled[l] + scaled[s]) + (-1.0);
    (scaled[l] < 1.0 ? small : large).push_back(l);
  }

  table.prob.resize(n);
  for (std::size_t i = 0; i < n; ++i) table.prob[i] = static_cast<float>(scaled[i]);
  return table;
}

void AliasTable::bad_slot() { internal_error("alias table slot index out of range"); }

}  // namespace tarnivel
