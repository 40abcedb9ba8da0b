#include "model/vocab.hpp"

#include <stdexcept>
#include <string>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "common/error.hpp"
#include "weights/init.hpp"

namespace tarnivel {

void WordCounter::add(std::string_view word) {
  auto it = counts_.find(word);
  if (it == counts_.end()) it = counts_.emplace(std::string(word), 0).first;
  ++it->second;
}

void WordCounter::add(std::string_view word, uint64_t count) {
  auto it = counts_.find(word);
  if (it == counts_.end()) it = counts_.emplace(std::string(word), 0).first;
  it->second += count;
}

uint64_t vocab_cutoff(const KeyIndexMap& counts, std::optional<uint64_t> max_final_vocab) {
  if (!max_final_vocab || *max_final_vocab == 0) return 1;
  const uint64_t m = *max_final_vocab;
  if (counts.size() <= m) return 1;

  std::vector<uint64_t> sorted;
  sorted.reserve(counts.size());
  for (const auto& entry : counts) sorted.push_back(entry.second);
  std::sort(sorted.begin(), sorted.end(), std::greater<>());

  // sorted[m - 1] is the m-th largest count. Raise the cut-off while more than m words reach it,
  // so words tied at the cut are dropped together.
  uint64_t t = std::max<uint64_t>(sorted[m - 1], 1);
  auto reaching = [&](uint64_t cut) {
    // Number of words with count >= cut in the descending list.
    return static_cast<uint64_t>(
        std::upper_bound(sorted.begin(), sorted.end(), cut, std::greater<>()) - sorted.begin());
  };
  // Also correct for huge counts: reaching(t) > m implies some count >= t, so t + 1 cannot wrap
  // unless a count is UINT64_MAX, which no corpus reaches.
  while (reaching(t) > m) ++t;
  return t;
}

namespace {

// Byte order of UTF-8 text, bytes compared as unsigned values; a proper prefix comes first.
bool bytes_less(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0;
  return a.size() < b.size();
}

}  // namespace

void build_vocab(Model& model, const WordCounter& counter) {
  const uint64_t cutoff = vocab_cutoff(counter.counts(), model.params.max_final_vocab);
  const uint64_t min_count = std::max<uint64_t>(model.params.min_count, 1);
  const uint64_t minimum = std::max(cutoff, min_count);

  std::vector<std::pair<std::string, uint64_t>> kept;
  for (const auto& [word, count] : counter.counts()) {
    if (count >= minimum) kept.emplace_back(word, count);
  }
  std::sort(kept.begin(), kept.end(), [](const auto& x, const auto& y) {
    if (x.second != y.second) return x.second > y.second;
    return bytes_less(x.first, y.first);
  });

  // Everything is built aside and moved into the model only once it is complete, so a failure (an
  // allocation that cannot be made) leaves the model exactly as it was.
  Vocab vocab;
  std::vector<float> input;
  std::vector<float> output;
  if (!kept.empty()) {
    vocab.index_to_key.reserve(kept.size());
    vocab.counts.reserve(kept.size());
    vocab.key_to_index.reserve(kept.size());
    for (auto& [word, count] : kept) {
      vocab.key_to_index.emplace(word, vocab.index_to_key.size());
      vocab.index_to_key.push_back(std::move(word));
      vocab.counts.push_back(count);
    }

    // Interleaved draws from the global stream: input row i, then output row i.
    const uint64_t dim = model.params.vector_size;
    uint64_t elements = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(kept.size()), dim, &elements) ||
        elements > input.max_size()) {
      throw std::length_error("weight matrices of " + std::to_string(kept.size()) + " x " +
                              std::to_string(dim) + " floats cannot be allocated");
    }
    input.reserve(elements);
    output.reserve(elements);
    for (std::size_t i = 0; i < kept.size(); ++i) {
      append_random_unit_row(input, dim);
      append_random_unit_row(output, dim);
    }
  }
  // No survivor: the model stays without vocabulary and weights, so the next call builds again.
  model.vocab = std::move(vocab);
  model.input_vectors = std::move(input);
  model.output_vectors = std::move(output);
}

void add_count(Vocab& vocab, uint64_t index) {
  TARNIVEL_CHECK(index < vocab.size(), "word index beyond the vocabulary");
  if (vocab.counts.size() <= index) vocab.counts.resize(index + 1, 0);
  ++vocab.counts[index];
}

KeyIndexMap index_words(const std::vector<std::string>& words) {
  KeyIndexMap map;
  for (std::size_t i = 0; i < words.size(); ++i) map[words[i]] = i;  // a later duplicate wins
  return map;
}

Model model_from_words(std::vector<std::string>&& words, uint64_t cols, std::vector<float>&& input) {
  Model model;
  ModelParams& p = model.params;
  p.vector_size = cols;
  p.levels = default_levels(cols);
  p.max_final_vocab = std::nullopt;
  p.window = 5;
  p.min_count = 1;
  p.workers = 1;
  p.negative = 5;
  p.epochs = 5;
  p.progress_interval = 1.0;
  p.alpha = 0.025f;
  p.min_alpha = 0.0001f;
  p.sg = true;
  p.hs = false;
  p.cbow_mean = true;
  p.verbose = true;
  model.vocab.key_to_index = index_words(words);
  model.vocab.index_to_key = std::move(words);
  model.output_vectors.assign(input.size(), 0.0f);
  model.input_vectors = std::move(input);
  return model;
}

}  // namespace tarnivel
