// Kernel steps on tiny matrices (4 input rows, 5 output rows, 8 components). The expected matrices
// were computed once outside this code base, element by element in float32 with the C library's
// expf, and are stored as float bit patterns; results must match bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "common/error.hpp"
#include "ops/vector_ops.hpp"
#include "training/hs.hpp"
#include "training/ns.hpp"
#include "training/chunk.hpp"
#include "training/sentence.hpp"

namespace tarnivel {
namespace {

constexpr uint32_t kIn0[] = {
    0xbebed543, 0xbee6e097, 0x3e5aa674, 0x3e7561e7, 0x3f102839, 0x3ea76449, 0x3f0e0f4f, 0x3f14db1e,
    0x3ef4209f, 0xbf2234c0, 0xbde6c63d, 0x3ed704da, 0xbf1edb55, 0xbef04595, 0x3f21c4cb, 0x3f2451bb,
    0x3ed5f084, 0x3ee47d17, 0xbe035da7, 0x3e5e7bfe, 0x3ee087eb, 0x3f211167, 0xbec61684, 0xbe4787d5,
    0xbdbe96e2, 0xbed61577, 0x3f251a74, 0x3f07a490, 0xbea56ee0, 0xbf081354, 0x3edf99fe, 0xbed75a99};
constexpr uint32_t kOut0[] = {
    0xbede3739, 0x3ec01722, 0x3eb81e89, 0xbd9e6a90, 0x3f1c4f6b, 0x3ed62b8c, 0x3e001055, 0xbf22542e,
    0x3d479a31, 0xbdc6054b, 0xbd4a9c36, 0xbd1d9736, 0xbea29d75, 0xbef2003b, 0xbd5520e0, 0x3ec5fed3,
    0x3eac9d6a, 0xbe3e57b2, 0x3e7afea2, 0x3eaee53b, 0x3e96c8bc, 0x3ed84a29, 0x3f191f7c, 0xbc0a1d3e,
    0x3e44fb9c, 0x3e6e798b, 0xbeb6be91, 0xbf179a5c, 0xbe4ee178, 0x3e865d37, 0x3e829333, 0x3f0b7fd7,
    0xbeb5fd6f, 0x3f0c050e, 0x3e4e1781, 0x3eb220a7, 0xbf25954d, 0xbf1171b2, 0x3e8d46fd, 0xbe4f0381};
// Expected matrices: the start matrix with these rows changed (float bit patterns).
struct Changed {
  std::size_t row;
  uint32_t bits[8];
};
constexpr Changed kSgNsNestedIn[] = {
    {1, {0x3ef3261d, 0xbf264764, 0xbdc84686, 0x3ee35c7b, 0xbf1d6a26, 0xbef150ba, 0x3f219b4b, 0x3f21c0ec}}
};
constexpr Changed kSgNsNestedOut[] = {
    {2, {0x3eb1a8a0, 0xbe4bb5b2, 0x3e797644, 0x3eb1c7c0, 0x3e94a87a, 0x3ed6ae90, 0x3f1a349a, 0xbb877c3b}},
    {3, {0x3e2cff27, 0x3e87499b, 0xbeb4fcae, 0xbf1b36d1, 0xbe43404d, 0x3e8ac457, 0x3e7932c8, 0x3f087d6d}}
};
constexpr Changed kSgNsNestedSegmentsIn[] = {
    {1, {0x3ef3261d, 0xbf264764, 0xbdc84686, 0x3ee35c7b, 0xbf1d6a26, 0xbef150ba, 0x3f219b4b, 0x3f21c0ed}}
};
constexpr Changed kCbowNsMeanIn[] = {
    {0, {0xbebbbf4b, 0xbee8491b, 0x3e5448f4, 0x3e7285fb, 0x3f102839, 0x3ea76449, 0x3f0e0f4f, 0x3f14db1e}},
    {2, {0x3ed77b80, 0x3ee3c8d5, 0xbe068c67, 0x3e5d0e08, 0x3ee087eb, 0x3f211167, 0xbec61684, 0xbe4787d5}}
};
constexpr Changed kCbowNsMeanOut[] = {
    {0, {0xbedd47be, 0x3ec16431, 0x3eb74421, 0xbda65f55, 0x3f1c4f6b, 0x3ed62b8c, 0x3e001055, 0xbf22542e}},
    {3, {0x3e43f1d2, 0x3e6d07e6, 0xbeb6455e, 0xbf170d14, 0xbe4ee178, 0x3e865d37, 0x3e829333, 0x3f0b7fd7}}
};
constexpr Changed kSgHsIn[] = {
    {1, {0x3efc1534, 0xbf248035, 0xbe039282, 0x3ec9637a, 0xbf1b9cbf, 0xbee43531, 0x3f21c4cb, 0x3f2451bb}}
};
constexpr Changed kSgHsOut[] = {
    {3, {0x3e52c7a0, 0x3e5c23f9, 0xbeb85feb, 0xbf1490a4, 0xbe60d620, 0x3e7f2632, 0x3e829333, 0x3f0b7fd7}},
    {4, {0xbebced9f, 0x3f10a136, 0x3e515f06, 0x3eac043f, 0xbf211183, 0xbf0e07a1, 0x3e8d46fd, 0xbe4f0381}}
};
constexpr Changed kCbowHsListIn[] = {
    {0, {0xbebe20cf, 0xbee73df6, 0x3e592d42, 0x3e72e725, 0x3f106c37, 0x3ea87506, 0x3f0e0fb8, 0x3f155a51}},
    {1, {0x3ef4d513, 0xbf226370, 0xbde9b8a2, 0x3ed5c779, 0xbf1e9757, 0xbeef34d8, 0x3f21c534, 0x3f24d0ee}},
    {2, {0x3ed6a4f8, 0x3ee41fb8, 0xbe04d6d9, 0x3e5c013c, 0x3ee10fe8, 0x3f2199c5, 0xbec615b1, 0xbe458b09}}
};
constexpr Changed kCbowHsListOut[] = {
    {3, {0x3e466760, 0x3e6cbcb2, 0xbeb6c821, 0xbf170194, 0xbe4dd7da, 0x3e8706dd, 0x3e83a9f5, 0x3f0c330a}},
    {4, {0xbeb6a3fb, 0x3f0c6ae4, 0x3e4e2905, 0x3eb108db, 0xbf25d21b, 0xbf11bf5e, 0x3e8c47bc, 0xbe5193dd}}
};
constexpr Changed kCbowHsGroupedOut[] = {
    {3, {0x3e466760, 0x3e6cbcb1, 0xbeb6c821, 0xbf170194, 0xbe4dd7da, 0x3e8706dd, 0x3e83a9f5, 0x3f0c330a}},
    {4, {0xbeb6a3fb, 0x3f0c6ae4, 0x3e4e2905, 0x3eb108db, 0xbf25d21b, 0xbf11bf5e, 0x3e8c47bc, 0xbe5193dd}}
};

constexpr std::size_t kDim = 8;

template <std::size_t N>
std::vector<float> floats(const uint32_t (&bits)[N]) {
  std::vector<float> v(N);
  for (std::size_t i = 0; i < N; ++i) v[i] = std::bit_cast<float>(bits[i]);
  return v;
}

template <std::size_t N, std::size_t M>
void expect_bits(const std::vector<float>& got, const uint32_t (&start)[N], const Changed (&changed)[M],
                 const char* what) {
  uint32_t want[N];
  std::copy(std::begin(start), std::end(start), want);
  for (const Changed& c : changed) std::copy(std::begin(c.bits), std::end(c.bits), want + c.row * kDim);
  ASSERT_EQ(got.size(), N) << what;
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i]), want[i])
        << what << " row " << i / kDim << " col " << i % kDim << ": got " << got[i]
        << ", want " << std::bit_cast<float>(want[i]);
  }
}

// A table whose every draw is `target` (all acceptance thresholds 0), whatever the stream gives,
// but which still consumes the stream like any other table.
AliasTable constant_table(uint64_t target) {
  AliasTable t;
  t.prob.assign(4, 0.0f);
  t.alias.assign(4, target);
  return t;
}

// Inner nodes 3 and 4 (root): word 2 hangs off the root, words 1 and 0 below node 3.
HuffmanTree small_tree() {
  HuffmanTree t;
  t.codes = {{0, 1}, {0, 0}, {1}};
  t.path_nodes = {{4, 3}, {4, 3}, {4}};
  return t;
}

struct Plain {
  std::vector<float> in = floats(kIn0);
  std::vector<float> out = floats(kOut0);
  PlainMatrices m() { return {in, out, kDim}; }
};

struct Shared {
  SharedMatrix in = SharedMatrix::wrap(floats(kIn0), kDim);
  SharedMatrix out = SharedMatrix::wrap(floats(kOut0), kDim);
  std::vector<float> in_values() { return {in.row(0).data(), in.row(0).data() + 4 * kDim}; }
  std::vector<float> out_values() { return {out.row(0).data(), out.row(0).data() + 5 * kDim}; }
};

constexpr float kLr = 0.05f;

// One step of each kernel in both forms against its bit table. The multi-worker skip-gram NS form
// sums each new segment from 0.0 before adding it to the carried values (one input bit differs); the
// multi-worker CBOW HS form sums context rows grouped by stripe (0, 1, 2), not in list order
// (2, 0, 1), and the data is chosen so that the two orders round differently.
TEST(KernelBits, OneStepOfEveryKernelInBothForms) {
  const HuffmanTree tree = small_tree();
  const std::vector<uint64_t> levels{2, 4, 8};
  const AliasTable to_target = constant_table(2), to_three = constant_table(3);
  const std::vector<uint64_t> cbow_ns_context{0, 2, 0}, cbow_hs_context{2, 0, 1};
  {
    // Both samples draw the positive target 2 and are replaced by 3; lr_eff = lr / 3.
    Plain p;
    Shared s;
    auto stream = ChaChaStream::from_seed(1), stream2 = stream;
    sg_negative_step(p.m(), 1, 2, 2, levels, kLr, &to_target, stream);
    sg_negative_step(s.in, s.out, 1, 2, 2, levels, kLr, &to_target, stream2);
    expect_bits(p.in, kIn0, kSgNsNestedIn, "sg ns input");
    expect_bits(p.out, kOut0, kSgNsNestedOut, "sg ns output");
    expect_bits(s.in_values(), kIn0, kSgNsNestedSegmentsIn, "shared sg ns input");
    expect_bits(s.out_values(), kOut0, kSgNsNestedOut, "shared sg ns output");
  }
  {
    // Context word 0 twice; both samples draw the target 3 and wrap to 0; level 4 of 8.
    Plain p;
    Shared s;
    auto stream = ChaChaStream::from_seed(3), stream2 = stream;
    cbow_negative_step(p.m(), cbow_ns_context, 3, 2, 4, kLr / 3.0f, true, &to_three, stream);
    cbow_negative_step(s.in, s.out, cbow_ns_context, 3, 2, 4, kLr / 3.0f, true, &to_three, stream2);
    for (auto [in, out] : {std::pair{p.in, p.out}, std::pair{s.in_values(), s.out_values()}}) {
      expect_bits(in, kIn0, kCbowNsMeanIn, "cbow ns input");
      expect_bits(out, kOut0, kCbowNsMeanOut, "cbow ns output");
    }
  }
  {
    // Word 0 lies at depth 2 (nodes 4 then 3, codes 0 then 1); level 6 of 8.
    Plain p;
    Shared s;
    sg_softmax_step(p.m(), tree, 1, 0, 6, kLr);
    sg_softmax_step(s.in, s.out, tree, 1, 0, 6, kLr);
    for (auto [in, out] : {std::pair{p.in, p.out}, std::pair{s.in_values(), s.out_values()}}) {
      expect_bits(in, kIn0, kSgHsIn, "sg hs input");
      expect_bits(out, kOut0, kSgHsOut, "sg hs output");
    }
  }
  {
    Plain p;
    Shared s;
    cbow_softmax_step(p.m(), tree, cbow_hs_context, 0, 8, kLr / 3.0f, true);
    cbow_softmax_step(s.in, s.out, tree, cbow_hs_context, 0, 8, kLr / 3.0f, true);
    expect_bits(p.in, kIn0, kCbowHsListIn, "cbow hs input");
    expect_bits(p.out, kOut0, kCbowHsListOut, "cbow hs output");
    expect_bits(s.in_values(), kIn0, kCbowHsListIn, "shared cbow hs input");
    expect_bits(s.out_values(), kOut0, kCbowHsGroupedOut, "shared cbow hs output");
  }
}

TEST(KernelBits, NoSamplesNoCodeAndRowsOutsideTheMatrices) {
  // Without a noise table (absent or empty) the positive updates happen and no stream word is read.
  const std::vector<uint64_t> levels{2, 4, 8}, context{0, 2};
  const AliasTable table = constant_table(0), empty;
  Plain reference;
  auto ref_stream = ChaChaStream::from_seed(4);
  sg_negative_step(reference.m(), 1, 2, 0, levels, kLr, &table, ref_stream);
  cbow_negative_step(reference.m(), context, 3, 0, 8, kLr, true, &table, ref_stream);
  EXPECT_NE(reference.in, floats(kIn0));
  for (const AliasTable* t : {static_cast<const AliasTable*>(nullptr), &empty, &table}) {
    Plain p;
    auto stream = ChaChaStream::from_seed(4);
    sg_negative_step(p.m(), 1, 2, t == &table ? 0 : 5, levels, kLr, t, stream);
    cbow_negative_step(p.m(), context, 3, t == &table ? 0 : 5, 8, kLr, true, t, stream);
    EXPECT_EQ(stream.index(), ChaChaStream::kBufferWords);
    EXPECT_EQ(stream.counter(), 0u);
    EXPECT_EQ(p.in, reference.in);
    EXPECT_EQ(p.out, reference.out);
  }
  // An empty code changes nothing, not even a negative zero.
  HuffmanTree one_word;
  one_word.codes = {{}};
  one_word.path_nodes = {{}};
  Plain p;
  p.in[0] = -0.0f;
  const std::vector<float> in_before = p.in;
  sg_softmax_step(p.m(), one_word, 0, 0, 8, kLr);
  cbow_softmax_step(p.m(), one_word, context, 0, 8, kLr, false);
  EXPECT_EQ(std::bit_cast<uint32_t>(p.in[0]), 0x80000000u);
  EXPECT_EQ(p.in, in_before);
  EXPECT_EQ(p.out, floats(kOut0));
  // Rows and widths outside the matrices are internal errors.
  auto stream = ChaChaStream::from_seed(5);
  EXPECT_THROW(sg_negative_step(p.m(), 4, 0, 0, levels, kLr, nullptr, stream), InternalError);
  EXPECT_THROW(cbow_negative_step(p.m(), std::vector<uint64_t>{0}, 1, 0, 9, kLr, true, nullptr, stream), InternalError);
}

// ---- forms and bookkeeping on random data ----

// Word counts 1 + (i * step) % spread: varied, with ties, so that trees have several depths.
std::vector<uint64_t> varied_counts(std::size_t words, std::size_t step, std::size_t spread) {
  std::vector<uint64_t> counts(words);
  for (std::size_t i = 0; i < words; ++i) counts[i] = 1 + (i * step) % spread;
  return counts;
}

std::vector<float> random_floats(std::size_t n, uint32_t seed, float scale) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

TEST(KernelForms, CbowGroupedOrderIsAStableSortByStripe) {
  // The multi-worker hidden sum equals the sequential one over the context stably sorted by stripe
  // (w & 63), for a window-sized context and for one long enough to take the other sorting path.
  constexpr std::size_t dim = 6, words = 200;
  const HuffmanTree tree = build_huffman(varied_counts(words, 53, 31));
  std::vector<uint64_t> long_context;
  for (std::size_t i = 0; i < 90; ++i) long_context.push_back((i * 67 + 5) % words);
  for (const auto& context : std::vector<std::vector<uint64_t>>{{67, 130, 3, 2, 66, 194, 2}, long_context}) {
    std::vector<uint64_t> sorted = context;
    std::stable_sort(sorted.begin(), sorted.end(), [](uint64_t a, uint64_t b) { return (a & 63) < (b & 63); });
    std::vector<float> in = random_floats(words * dim, 51, 0.5f), out = random_floats((2 * words - 1) * dim, 52, 0.5f);
    SharedMatrix shared_in = SharedMatrix::wrap(std::vector<float>(in), dim);
    SharedMatrix shared_out = SharedMatrix::wrap(std::vector<float>(out), dim);
    cbow_softmax_step(PlainMatrices{in, out, dim}, tree, sorted, 17, dim, 0.05f, true);
    cbow_softmax_step(shared_in, shared_out, tree, context, 17, dim, 0.05f, true);
    EXPECT_EQ(shared_in.into_array(), in) << context.size();
    EXPECT_EQ(shared_out.into_array(), out) << context.size();
  }
}

TEST(KernelForms, FusedLevelsMatchOneCallPerLevel) {
  // 70 words: rows 3 and 67 share an input stripe; one context repeats a word (one call per width),
  // the others do not. Negative samples hit the target and repeat rows (9 samples: past the batched
  // form's lanes); widths out of order, and a width 0 (which falls back to the per-level calls).
  constexpr std::size_t dim = 12, words = 70;
  const std::vector<uint64_t> counts = varied_counts(words, 37, 23);
  const HuffmanTree tree = build_huffman(counts);
  const AliasTable table = AliasTable::build(noise_weights(counts));
  const auto in0 = random_floats(words * dim, 41, 0.5f), out0 = random_floats((2 * words - 1) * dim, 42, 0.5f);
  const std::vector<std::vector<uint64_t>> contexts{{3, 67, 10, 41}, {3, 67, 3, 10}, {5}};
  enum Kind { sg_hs, cbow_hs, cbow_ns };
  for (const auto& levels : std::vector<std::vector<uint64_t>>{{3, 6, 12}, {8, 4, 12}, {5, 0, 9}}) {
    for (const Kind kind : {sg_hs, cbow_hs, cbow_ns}) {
      for (const auto& context : contexts) {
        SharedMatrix in[2] = {SharedMatrix::wrap(std::vector<float>(in0), dim), SharedMatrix::wrap(std::vector<float>(in0), dim)};
        SharedMatrix out[2] = {SharedMatrix::wrap(std::vector<float>(out0), dim), SharedMatrix::wrap(std::vector<float>(out0), dim)};
        ChaChaStream stream[2] = {ChaChaStream::from_seed(5), ChaChaStream::from_seed(5)};
        for (uint64_t step = 0; step < 30; ++step) {
          const uint64_t target = (step * 11) % words, negative = step % 3 == 0 ? 9 : 4;
          const bool mean = step % 2 == 0;
          // [0]: all levels in one call; [1]: one call per level.
          if (kind == sg_hs) sg_softmax_levels(in[0], out[0], tree, step % words, target, levels, 0.05f);
          if (kind == cbow_hs) cbow_softmax_levels(in[0], out[0], tree, context, target, levels, 0.05f, mean);
          if (kind == cbow_ns) {
            cbow_negative_levels(in[0], out[0], context, target, negative, levels, 0.05f, mean, &table, stream[0]);
          }
          for (const uint64_t level : levels) {
            if (kind == sg_hs) sg_softmax_step(in[1], out[1], tree, step % words, target, level, 0.05f);
            if (kind == cbow_hs) cbow_softmax_step(in[1], out[1], tree, context, target, level, 0.05f, mean);
            if (kind == cbow_ns) {
              cbow_negative_step(in[1], out[1], context, target, negative, level, 0.05f, mean, &table, stream[1]);
            }
          }
        }
        SCOPED_TRACE(testing::Message() << "kind " << kind << " context " << context.size() << " levels "
                                        << levels[0] << "," << levels[1]);
        EXPECT_EQ(stream[0].next_u64(), stream[1].next_u64());
        EXPECT_EQ(in[0].into_array(), in[1].into_array());
        EXPECT_EQ(out[0].into_array(), out[1].into_array());
        if (kind == sg_hs) break;  // skip-gram takes no context
      }
    }
  }
}

// ---- the sentence routine ----

struct CountingProbe : SignalProbe {
  int calls = 0;
  bool interrupted() override {
    ++calls;
    return false;
  }
};

// 70 words, so that rows 3 and 67 (and others) share a stripe.
struct SentenceFixture {
  std::vector<float> in = random_floats(70 * kDim, 21, 0.5f);
  std::vector<float> out = random_floats(139 * kDim, 22, 0.5f);  // room for 69 inner nodes
  HuffmanTree tree;
  AliasTable table;
  TrainParams params;
  SentenceFixture() {
    const std::vector<uint64_t> counts = varied_counts(70, 37, 23);
    tree = build_huffman(counts);
    table = AliasTable::build(noise_weights(counts));
    params.levels = {2, 4, 8};
    params.negative = 2;
    params.window = 3;
  }
  PlainMatrices m() { return {in, out, kDim}; }
  OutputTables tables() { return {&tree, &table}; }
};

TEST(SentenceRoutine, ProbeAskedEvery1024PositionsAndStopHonoured) {
  SentenceFixture f;
  f.params.sg = true;
  std::vector<uint64_t> sentence(1500);
  for (std::size_t i = 0; i < sentence.size(); ++i) sentence[i] = i % 10;
  std::atomic<bool> stop{false};
  CountingProbe probe;
  auto stream = ChaChaStream::from_seed(6);
  EXPECT_FALSE(train_sentence(sentence, stream, f.params, f.tables(), f.m(), stop, probe));
  EXPECT_EQ(probe.calls, 2);  // positions 0 and 1024
  struct Raising : SignalProbe {
    bool interrupted() override { return true; }
  } raising;
  const auto in0 = f.in;
  EXPECT_TRUE(train_sentence(sentence, stream, f.params, f.tables(), f.m(), stop, raising));
  EXPECT_TRUE(stop.load());
  EXPECT_EQ(f.in, in0);
  // With the flag already set the routine returns at once: no probe, no draw, no update.
  CountingProbe later;
  const ChaChaStream before = stream;
  EXPECT_TRUE(train_sentence(sentence, stream, f.params, f.tables(), f.m(), stop, later));
  EXPECT_EQ(later.calls, 0);
  EXPECT_EQ(stream.counter(), before.counter());
  EXPECT_EQ(stream.index(), before.index());
  EXPECT_EQ(f.in, in0);
  // Window 0 trains nothing but still draws (below(1): at least one 64-bit draw) per position.
  f.params.window = 0;
  stop = false;
  const std::vector<uint64_t> five{1, 2, 3, 1, 5};
  auto s5 = ChaChaStream::from_seed(5), reference = s5;
  EXPECT_FALSE(train_sentence(five, s5, f.params, f.tables(), f.m(), stop, probe));
  EXPECT_EQ(f.in, in0);
  for (std::size_t i = 0; i < five.size(); ++i) reference.in_closed_range(0, 0);
  EXPECT_EQ(s5.index(), reference.index());
  EXPECT_EQ(s5.counter(), reference.counter());
}

TEST(SentenceRoutine, SequentialAndSharedFormsAgreeWhereTheyComputeTheSame) {
  // Skip-gram softmax, CBOW negative sampling, and skip-gram negative sampling with one level
  // compute identical values in both forms; run whole sentences (with words that share stripes)
  // through each, the shared form with the sentence in every index width a chunk may carry.
  std::vector<uint64_t> sentence(200);
  for (std::size_t i = 0; i < sentence.size(); ++i) sentence[i] = (i * 29 + i * i / 5) % 70;
  const std::vector<uint32_t> wide(sentence.begin(), sentence.end());
  const std::vector<uint16_t> narrow(sentence.begin(), sentence.end());
  for (const auto& [sg, hs, levels] : {std::tuple{true, true, std::vector<uint64_t>{2, 4, 8}},
                                       std::tuple{false, false, std::vector<uint64_t>{2, 4, 8}},
                                       std::tuple{true, false, std::vector<uint64_t>{8}}}) {
    SentenceFixture f;
    f.params.sg = sg;
    f.params.hs = hs;
    f.params.levels = levels;
    const std::vector<float> in0 = f.in, out0 = f.out;
    std::atomic<bool> stop{false};
    CountingProbe probe;
    auto s1 = ChaChaStream::from_seed(9);
    EXPECT_FALSE(train_sentence(sentence, s1, f.params, f.tables(), f.m(), stop, probe));
    EXPECT_NE(f.in, in0);
    for (const int bits : {64, 32, 16}) {
      SharedMatrix in = SharedMatrix::wrap(std::vector<float>(in0), kDim);
      SharedMatrix out = SharedMatrix::wrap(std::vector<float>(out0), kDim);
      auto s2 = ChaChaStream::from_seed(9);
      EXPECT_FALSE(bits == 64   ? train_sentence(sentence, s2, f.params, f.tables(), in, out, stop, nullptr)
                   : bits == 32 ? train_chunk_sentence(std::span<const uint32_t>(wide), s2, f.params, f.tables(), in,
                                                       out, stop, nullptr)
                                : train_chunk_sentence(std::span<const uint16_t>(narrow), s2, f.params, f.tables(),
                                                       in, out, stop, nullptr));
      EXPECT_EQ(f.in, in.into_array()) << "sg " << sg << " hs " << hs << " bits " << bits;
      EXPECT_EQ(f.out, out.into_array()) << "sg " << sg << " hs " << hs << " bits " << bits;
    }
  }
}

}  // namespace
}  // namespace tarnivel
