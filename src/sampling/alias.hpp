#pragma once
// Alias table for drawing negative samples with probability proportional to count^0.75.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rng/chacha.hpp"

namespace tarnivel {

// count^0.75 per index in double precision, normalised by their index-order sum when it is positive.
std::vector<double> noise_weights(std::span<const uint64_t> counts);

struct AliasTable {
  std::vector<float> prob;
  std::vector<uint64_t> alias;

  // Builds the table from probabilities (small/large stacks, last pushed popped first).
  static AliasTable build(std::span<const double> weights);

  std::size_t size() const { return prob.size(); }
  bool empty() const { return prob.empty(); }
  // Slot below(n) first, then a uniform_f32 coin; 0 without drawing when the table is empty.
  // Inline: it runs for every negative sample.
  uint64_t sample(ChaChaStream& stream) const {
    const std::size_t n = prob.size();
    if (n == 0) return 0;
    const uint64_t i = stream.below(n);
    const float coin = stream.uniform_f32();
    if (i >= n || alias.size() != n) bad_slot();
    // Both entries are read and one is selected without a branch: the coin's outcome is
    // unpredictable, and a mispredicted branch here would discard the work that follows the draw.
    const uint64_t keep = uint64_t{0} - static_cast<uint64_t>(coin < prob[i]);
    return (i & keep) | (alias[i] & ~keep);
  }
  // count samples into out: the same values and stream draws as count sample() calls. The slots
  // and coins of up to 16 draws come first, then their table look-ups, whose cache misses then
  // overlap instead of each waiting behind the stream's work of the next draw.
  void sample_into(ChaChaStream& stream, uint64_t* out, std::size_t count) const {
    const std::size_t n = prob.size();
    if (n == 0) {
      std::fill(out, out + count, uint64_t{0});
      return;
    }
    if (alias.size() != n) bad_slot();
    constexpr std::size_t kGroup = 16;
    // Local arrays: stores through `out` could alias the stream's buffer index, which would then
    // go through memory between the draws.
    uint64_t slots[kGroup];
    float coins[kGroup];
    for (std::size_t at = 0; at < count; at += kGroup) {
      const std::size_t group = std::min(kGroup, count - at);
      for (std::size_t d = 0; d < group; ++d) {
        slots[d] = stream.below(n);
        coins[d] = stream.uniform_f32();
      }
      for (std::size_t d = 0; d < group; ++d) {
        const uint64_t i = slots[d];
        if (i >= n) bad_slot();
        const uint64_t keep = uint64_t{0} - static_cast<uint64_t>(coins[d] < prob[i]);
        out[at + d] = (i & keep) | (alias[i] & ~keep);
      }
    }
  }
  [[noreturn]] static void bad_slot();
};

}  // namespace tarnivel
