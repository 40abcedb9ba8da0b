// The scheduled skip-gram negative-sampling sentence routine against the pair-at-a-time order: the
// reference below draws the window per position and calls the kept sg_negative_step once per pair,
// exactly as the sentence routine is described; the scheduled routine must give the same matrices
// and leave the stream at the same position, bit for bit. Small vocabularies make the worst case for
// the dependencies: words repeat as centres, and negatives keep hitting the context rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "sampling/alias.hpp"
#include "training/hs.hpp"
#include "training/ns.hpp"
#include "training/sg_dataflow.hpp"
#include "training/sentence.hpp"

namespace tarnivel {
namespace {

std::vector<float> random_row_data(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-0.6f, 0.6f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

struct Case {
  const char* name;
  std::size_t vocab;
  std::size_t dim;
  uint64_t window;
  uint64_t negative;
  std::vector<uint64_t> levels;
  std::size_t length;
  bool with_table;
};

struct SentenceSetup {
  std::size_t dim;
  std::vector<float> in, out;
  AliasTable table;
  HuffmanTree tree;
  TrainParams params;
  std::vector<uint64_t> sentence;
  bool with_table;

  // Hierarchical softmax (hs): the output rows are the tree's inner nodes.
  explicit SentenceSetup(const Case& c, bool hs = false) : dim(c.dim), with_table(c.with_table) {
    in = random_row_data(c.vocab * c.dim, 31);
    out = random_row_data((hs ? 2 * c.vocab : c.vocab) * c.dim, 32);
    // A steep distribution: word 0 dominates both the sentence and the negatives.
    std::vector<uint64_t> counts(c.vocab);
    for (std::size_t w = 0; w < c.vocab; ++w) counts[w] = 1 + 40 / (w + 1);
    table = AliasTable::build(noise_weights(counts));
    tree = build_huffman(counts);
    params.sg = true;
    params.hs = hs;
    params.window = c.window;
    params.negative = c.negative;
    params.levels = c.levels;
    params.lr = 0.05f;
    std::mt19937 gen(33);
    std::discrete_distribution<uint64_t> pick(counts.begin(), counts.end());
    sentence.resize(c.length);
    for (uint64_t& w : sentence) w = pick(gen);
  }
  const AliasTable* alias() const { return with_table ? &table : nullptr; }
};

// Positions [0, upto) one pair at a time: the window draw, then one kernel call per context position
// in ascending order (CBOW: one per position).
void pair_at_a_time(const SentenceSetup& s, std::vector<float>& in, std::vector<float>& out,
                    ChaChaStream& stream, std::size_t upto, const FastOps* fast = nullptr) {
  const PlainMatrices m{in, out, s.dim, nullptr, fast};
  const std::size_t n = s.sentence.size();
  const float lr_level = s.params.lr / mean_divisor(s.params.levels.size());
  for (std::size_t i = 0; i < upto; ++i) {
    const uint64_t b = stream.in_closed_range(0, s.params.window);
    const uint64_t w = s.params.window - b;
    const std::size_t start = w <= i ? i - static_cast<std::size_t>(w) : 0;
    const std::size_t end = w >= n - i ? n : i + static_cast<std::size_t>(w) + 1;
    std::vector<uint64_t> context;
    for (std::size_t c = start; c < end; ++c) {
      if (c == i) continue;
      context.push_back(s.sentence[c]);
      for (std::size_t l = 0; s.params.hs && s.params.sg && l < s.params.levels.size(); ++l) {
        sg_softmax_step(m, s.tree, s.sentence[i], s.sentence[c], s.params.levels[l], lr_level);
      }
      if (!s.params.hs && s.params.sg) {
        sg_negative_step(m, s.sentence[i], s.sentence[c], s.params.negative, s.params.levels,
                         s.params.lr, s.alias(), stream);
      }
    }
    for (std::size_t l = 0; !s.params.sg && !context.empty() && l < s.params.levels.size(); ++l) {
      if (s.params.hs) cbow_softmax_step(m, s.tree, context, s.sentence[i], s.params.levels[l], lr_level, s.params.cbow_mean);
      else cbow_negative_step(m, context, s.sentence[i], s.params.negative, s.params.levels[l], lr_level, s.params.cbow_mean, s.alias(), stream);
    }
  }
}

struct NoSignal : SignalProbe {
  bool interrupted() override { return false; }
};

// A probe that runs a check at each call (like a signal handler looking at the weights) and reports
// a signal at call number `raise_at` (counted from 1; 0: never).
struct ScriptedProbe : SignalProbe {
  int calls = 0;
  int raise_at = 0;
  std::function<void()> at_call;
  bool interrupted() override {
    ++calls;
    if (at_call) at_call();
    return calls == raise_at;
  }
};

TEST(ScheduledSkipGram, SameBitsAndStreamAsPairAtATime) {
  const std::vector<Case> cases{
      {"repeats and colliding negatives", 6, 12, 4, 7, {3, 12, 7, 12}, 300, true},
      {"one word vocabulary", 1, 8, 3, 3, {8}, 40, true},
      {"two words, wide window", 2, 40, 9, 5, {5, 40}, 120, true},
      {"single level, more lanes than words", 40, 100, 5, 5, {100}, 400, true},
      {"many blocks and probe points", 5, 6, 3, 2, {2, 4, 6}, 3000, true},
      {"no table: positives only", 7, 10, 4, 5, {10}, 200, false},
      {"window zero", 4, 8, 0, 3, {8}, 50, true},
      {"huge window", 3, 5, std::numeric_limits<uint64_t>::max(), 2, {1, 5}, 60, true},
      {"widths beyond the rows", 8, 7, 2, 4, {3, 50, 9}, 150, true},
      {"widths ending inside vector blocks", 30, 40, 4, 5, {25, 40, 9}, 300, true},
      // One position draws more distinct rows than a block's tables hold (they grow mid-block).
      {"a position past the block tables", 20000, 4, 20, 800, {2, 4}, 14, true},
  };
  // The fast arithmetic against its pair-at-a-time kernels in every build the processor runs (the widest
  // last, which leaves it selected): the same draws; values within rounding for skip-gram negative
  // sampling (0) and softmax (1; CBOW: 2 mean, 3 sum), bit for bit for CBOW negative sampling (4, 5).
  for (const int mode : {0, 1, 2, 3, 4, 5})
  for (const FastBuild build : {FastBuild::kBaseline, FastBuild::kAvx2, FastBuild::kAvx512})
  for (const Arithmetic arithmetic : {Arithmetic::kExact, Arithmetic::kFast})
  for (const Case& c : cases) {
    if (!use_fast_build(build) || (arithmetic == Arithmetic::kExact && build != FastBuild::kBaseline)) continue;
    const bool hs = mode > 0 && mode < 4;
    if (mode > 0 && std::ranges::max(c.levels) > c.dim) continue;  // widths the kernels refuse
    SentenceSetup s(c, hs);
    s.params.arithmetic = arithmetic;
    s.params.sg = mode < 2;
    s.params.cbow_mean = mode % 2 == 0;
    const bool fast = arithmetic == Arithmetic::kFast, near = fast && mode < 4;
    std::vector<float> in_ref = s.in, out_ref = s.out;
    auto ref_stream = ChaChaStream::from_seed(77);
    pair_at_a_time(s, in_ref, out_ref, ref_stream, s.sentence.size(), fast ? &fast_ops() : nullptr);

    std::vector<float> in = s.in, out = s.out;
    auto stream = ChaChaStream::from_seed(77);
    std::atomic<bool> stop{false};
    NoSignal probe;
    const AliasTable empty;
    const OutputTables tables{&s.tree, hs ? nullptr : c.with_table ? &s.table : &empty};
    EXPECT_FALSE(train_sentence(s.sentence, stream, s.params, tables, PlainMatrices{in, out, c.dim},
                                stop, probe))
        << c.name;
    for (std::size_t j = 0; j < in.size() + out.size(); ++j) {
      const float got = j < in.size() ? in[j] : out[j - in.size()];
      const float want = j < in.size() ? in_ref[j] : out_ref[j - in.size()];
      if (near) { ASSERT_NEAR(got, want, 1e-4f * (1.0f + std::abs(want))) << c.name << " " << j; }
      if (!near) { ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << c.name << " mode " << mode << (fast ? fast_ops().name : " exact") << j; }
    }
    EXPECT_EQ(stream.counter(), ref_stream.counter()) << c.name;
    EXPECT_EQ(stream.index(), ref_stream.index()) << c.name;
    if (c.window > 0 && c.length > 1 && (c.vocab > 1 || !hs)) {
      EXPECT_NE(in, s.in) << c.name;
    }
  }
}

TEST(ScheduledSkipGram, SignalCheckSeesEveryEarlierPositionApplied) {
  // The probe is asked at positions 0, 1024 and 2048; whatever runs in it (a signal handler may look
  // at the weights) sees exactly the positions before it trained, and the signal reported at 2048
  // leaves the matrices and the stream as after the first 2048 positions.
  // The fast arithmetic's grouped and softmax routines likewise, within rounding of their pair kernels.
  for (const auto& [arithmetic, levels, hs] : {std::tuple{Arithmetic::kExact, std::vector<uint64_t>{4, 8}, false},
                                               std::tuple{Arithmetic::kFast, std::vector<uint64_t>{8}, false},
                                               std::tuple{Arithmetic::kFast, std::vector<uint64_t>{4, 8}, true}}) {
  SentenceSetup s(Case{"probe", 5, 8, 3, 3, levels, 2100, true}, hs);
  s.params.arithmetic = arithmetic;
  const FastOps* fast = arithmetic == Arithmetic::kFast ? &fast_ops() : nullptr;
  const auto same = [&](const std::vector<float>& x, const std::vector<float>& y) {
    return std::ranges::equal(x, y, [&](float a, float b) { return fast != nullptr ? std::abs(a - b) <= 1e-4f : a == b; });
  };
  std::vector<float> in = s.in, out = s.out;
  auto stream = ChaChaStream::from_seed(5);
  std::atomic<bool> stop{false};
  ScriptedProbe probe;
  probe.raise_at = 3;
  std::vector<std::size_t> mismatches;
  const auto matches_first = [&](std::size_t upto) {
    std::vector<float> in_ref = s.in, out_ref = s.out;
    auto ref = ChaChaStream::from_seed(5);
    pair_at_a_time(s, in_ref, out_ref, ref, upto, fast);
    return same(in, in_ref) && same(out, out_ref) && stream.counter() == ref.counter() && stream.index() == ref.index();
  };
  probe.at_call = [&] {
    const std::size_t upto = static_cast<std::size_t>(probe.calls - 1) * 1024;
    if (!matches_first(upto)) mismatches.push_back(upto);
    // A handler may train on this thread meanwhile, which must leave the outer call's state alone.
    std::vector<float> in2 = s.in, out2 = s.out;
    auto other = ChaChaStream::from_seed(6);
    NoSignal none;
    train_sentence(s.sentence, other, s.params, {&s.tree, &s.table}, PlainMatrices{in2, out2, s.dim}, stop, none);
  };
  EXPECT_TRUE(train_sentence(s.sentence, stream, s.params, {&s.tree, &s.table}, PlainMatrices{in, out, s.dim},
                             stop, probe));
  EXPECT_TRUE(mismatches.empty()) << "first mismatch before position " << mismatches[0];
  EXPECT_TRUE(stop.load());
  EXPECT_EQ(probe.calls, 3);
  EXPECT_TRUE(matches_first(2048));
  }
}

}  // namespace
}  // namespace tarnivel
