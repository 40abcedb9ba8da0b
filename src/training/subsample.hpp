#pragma once
// Subsampling of frequent words: each in-vocabulary token of a sentence is kept with probability
// min(1, (sqrt(c / (s * N)) + 1) * (s * N) / c), c the word's count, N the vocabulary's total count,
// s the model's `sample`, decided before the sentence's windows are formed.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rng/chacha.hpp"

namespace tarnivel {

struct Model;

// The keep decision of every word, computed once per training call. Each probability is held as a
// 32-bit threshold t and a token is kept when one 32-bit draw u satisfies u < t, so a word is kept
// with probability exactly t / 2^32 (the probability rounded down to a multiple of 2^-32) for the
// cost of one draw and one integer comparison. Words kept with probability 1 (within 2^-32) take no
// draw at all.
class KeepTable {
 public:
  static constexpr uint32_t kAlways = 0xFFFFFFFFu;

  // The table for `counts` (a count of 0 is always kept); `sample` is finite and > 0.
  static KeepTable build(std::span<const uint64_t> counts, double sample);

  std::span<const uint32_t> thresholds() const { return thresholds_; }

  // The tokens a training call trains of `sentence`: all of them without a table, else the kept
  // ones, in a buffer of the calling thread that stays valid until its next call.
  template <class Index>
  static std::span<const Index> subsampled(const KeepTable* table, std::span<const Index> sentence,
                                           ChaChaStream& stream) {
    if (table == nullptr) return sentence;
    thread_local std::vector<Index> kept;
    return table->filter(sentence, stream, kept);
  }

  // Whether one token of `word` stays, drawing from `stream` only when the word may be dropped.
  bool keep(uint64_t word, ChaChaStream& stream) const {
    const uint32_t t = word < thresholds_.size() ? thresholds_[word] : kAlways;
    return t == kAlways || stream.next_u32() < t;
  }

  // The tokens of `sentence` that stay, in order, written to `kept` (cleared first).
  template <class Index>
  std::span<const Index> filter(std::span<const Index> sentence, ChaChaStream& stream,
                                std::vector<Index>& kept) const {
    kept.clear();
    for (const Index w : sentence) {
      if (keep(w, stream)) kept.push_back(w);
    }
    return kept;
  }

 private:
  std::vector<uint32_t> thresholds_;
};

// Refuses subsampling on a model with words whose counts are unknown (loaded from a vocabulary and
// matrix pair): ValueError. Called before a training call touches the counts.
void check_subsampling(const Model& model);

// The keep table of one training call, from the counts as they stand after its vocabulary pass;
// none (no subsampling, no draws) when `sample` is 0 or the model has no words.
std::optional<KeepTable> keep_table(const Model& model);

}  // namespace tarnivel
