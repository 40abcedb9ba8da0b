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
#include <vector>

#include "common/error.hpp"
#include "ops/mod.hpp"
#include "training/hs.hpp"
#include "training/ns.hpp"
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

TEST(NegativeSamplingKernel, SkipGramNestedLevelsWithNegativeEqualToTarget) {
  // Both samples draw the positive target 2 and are replaced by 3; lr_eff = lr / 3.
  const std::vector<uint64_t> levels{2, 4, 8};
  const AliasTable table = constant_table(2);
  Plain p;
  auto stream = ChaChaStream::from_seed(1);
  sg_negative_step(p.m(), 1, 2, 2, levels, kLr, &table, stream);
  expect_bits(p.in, kIn0, kSgNsNestedIn, "input");
  expect_bits(p.out, kOut0, kSgNsNestedOut, "output");
  EXPECT_GT(stream.index(), 0u);

  // The multi-worker form sums each new segment from 0.0 before adding it to the carried values.
  Shared s;
  auto stream2 = ChaChaStream::from_seed(1);
  sg_negative_step(s.in, s.out, 1, 2, 2, levels, kLr, &table, stream2);
  expect_bits(s.in_values(), kIn0, kSgNsNestedSegmentsIn, "shared input");
  expect_bits(s.out_values(), kOut0, kSgNsNestedOut, "shared output");  // the same output values
}

TEST(NegativeSamplingKernel, CbowRepeatedContextWordBothForms) {
  // Context word 0 twice; both samples draw the target 3 and wrap to 0; level 4 of 8.
  const std::vector<uint64_t> context{0, 2, 0};
  const AliasTable table = constant_table(3);
  const float lr_level = kLr / 3.0f;
  {
    Plain p;
    auto stream = ChaChaStream::from_seed(3);
    cbow_negative_step(p.m(), context, 3, 2, 4, lr_level, true, &table, stream);
    expect_bits(p.in, kIn0, kCbowNsMeanIn, "mean input");
    expect_bits(p.out, kOut0, kCbowNsMeanOut, "mean output");
  }
  {
    // The multi-worker form sums in list order too: identical values.
    Shared s;
    auto stream = ChaChaStream::from_seed(3);
    cbow_negative_step(s.in, s.out, context, 3, 2, 4, lr_level, true, &table, stream);
    expect_bits(s.in_values(), kIn0, kCbowNsMeanIn, "shared mean input");
    expect_bits(s.out_values(), kOut0, kCbowNsMeanOut, "shared mean output");
  }
}

TEST(NegativeSamplingKernel, NoSamplesLeaveTheStreamUntouched) {
  const std::vector<uint64_t> levels{2, 4, 8};
  const AliasTable table = constant_table(0);
  const AliasTable empty;
  const std::vector<uint64_t> context{0, 2};
  Plain reference;
  auto ref_stream = ChaChaStream::from_seed(4);
  sg_negative_step(reference.m(), 1, 2, 0, levels, kLr, &table, ref_stream);
  cbow_negative_step(reference.m(), context, 3, 0, 8, kLr, true, &table, ref_stream);
  EXPECT_EQ(ref_stream.index(), ChaChaStream::kBufferWords);
  EXPECT_EQ(ref_stream.counter(), 0u);
  EXPECT_NE(reference.in, floats(kIn0));  // the positive updates happened
  for (const AliasTable* t : {static_cast<const AliasTable*>(nullptr), &empty}) {
    Plain p;
    auto stream = ChaChaStream::from_seed(4);
    sg_negative_step(p.m(), 1, 2, 5, levels, kLr, t, stream);
    cbow_negative_step(p.m(), context, 3, 5, 8, kLr, true, t, stream);
    EXPECT_EQ(stream.index(), ChaChaStream::kBufferWords);
    EXPECT_EQ(stream.counter(), 0u);
    EXPECT_EQ(p.in, reference.in);
    EXPECT_EQ(p.out, reference.out);
  }
}

TEST(NegativeSamplingKernel, RowsOutsideTheMatricesAreInternalErrors) {
  const std::vector<uint64_t> levels{8};
  Plain p;
  auto stream = ChaChaStream::from_seed(5);
  EXPECT_THROW(sg_negative_step(p.m(), 4, 0, 0, levels, kLr, nullptr, stream), InternalError);
  EXPECT_THROW(sg_negative_step(p.m(), 0, 5, 0, levels, kLr, nullptr, stream), InternalError);
  const std::vector<uint64_t> context{0, 9};
  EXPECT_THROW(cbow_negative_step(p.m(), context, 1, 0, 8, kLr, true, nullptr, stream),
               InternalError);
  const std::vector<uint64_t> ok_context{0};
  EXPECT_THROW(cbow_negative_step(p.m(), ok_context, 1, 0, 9, kLr, true, nullptr, stream),
               InternalError);
}

TEST(SoftmaxKernel, SkipGramDepthTwoBothForms) {
  // Word 0 lies at depth 2 (nodes 4 then 3, codes 0 then 1); level 6 of 8.
  const HuffmanTree tree = small_tree();
  Plain p;
  sg_softmax_step(p.m(), tree, 1, 0, 6, kLr);
  expect_bits(p.in, kIn0, kSgHsIn, "input");
  expect_bits(p.out, kOut0, kSgHsOut, "output");
  Shared s;
  sg_softmax_step(s.in, s.out, tree, 1, 0, 6, kLr);
  expect_bits(s.in_values(), kIn0, kSgHsIn, "shared input");
  expect_bits(s.out_values(), kOut0, kSgHsOut, "shared output");
}

TEST(SoftmaxKernel, CbowDepthTwoListAndStripeOrder) {
  // The multi-worker form sums context rows grouped by stripe (0, 1, 2), not in list order
  // (2, 0, 1); the data is chosen so that the two orders round differently.
  const HuffmanTree tree = small_tree();
  const std::vector<uint64_t> context{2, 0, 1};
  const float lr_level = kLr / 3.0f;
  Plain p;
  cbow_softmax_step(p.m(), tree, context, 0, 8, lr_level, true);
  expect_bits(p.in, kIn0, kCbowHsListIn, "input");
  expect_bits(p.out, kOut0, kCbowHsListOut, "output");
  Shared s;
  cbow_softmax_step(s.in, s.out, tree, context, 0, 8, lr_level, true);
  expect_bits(s.in_values(), kIn0, kCbowHsListIn, "shared input");  // the same input values
  expect_bits(s.out_values(), kOut0, kCbowHsGroupedOut, "shared output");
}

TEST(SoftmaxKernel, EmptyCodeChangesNothing) {
  HuffmanTree one_word;
  one_word.codes = {{}};
  one_word.path_nodes = {{}};
  const std::vector<uint64_t> context{0, 0};
  Plain p;
  p.in[0] = -0.0f;  // even a negative zero stays as it is
  const std::vector<float> in_before = p.in;
  sg_softmax_step(p.m(), one_word, 0, 0, 8, kLr);
  cbow_softmax_step(p.m(), one_word, context, 0, 8, kLr, false);
  EXPECT_EQ(std::bit_cast<uint32_t>(p.in[0]), 0x80000000u);
  EXPECT_EQ(p.in, in_before);
  EXPECT_EQ(p.out, floats(kOut0));
  Shared s;
  sg_softmax_step(s.in, s.out, one_word, 0, 0, 8, kLr);
  cbow_softmax_step(s.in, s.out, one_word, context, 0, 8, kLr, false);
  EXPECT_EQ(s.in_values(), floats(kIn0));
  EXPECT_EQ(s.out_values(), floats(kOut0));
  // A word the tree does not cover is an internal error.
  EXPECT_THROW(sg_softmax_step(p.m(), one_word, 0, 1, 8, kLr), InternalError);
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

TEST(SoftmaxKernel, CbowGroupedOrderIsAStableSortByStripe) {
  // The multi-worker hidden sum equals the sequential one over the context stably sorted by stripe
  // (w & 63), for a window-sized context and for one long enough to take the other sorting path;
  // the contexts revisit stripes out of order and repeat words.
  constexpr std::size_t dim = 6;
  constexpr std::size_t words = 200;
  const std::vector<uint64_t> counts = varied_counts(words, 53, 31);
  const HuffmanTree tree = build_huffman(counts);
  std::vector<uint64_t> long_context;
  for (std::size_t i = 0; i < 90; ++i) long_context.push_back((i * 67 + 5) % words);
  const std::vector<std::vector<uint64_t>> contexts{{67, 130, 3, 2, 66, 194, 2}, long_context};
  for (const auto& context : contexts) {
    const std::size_t length = context.size();
    std::vector<uint64_t> sorted = context;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](uint64_t a, uint64_t b) { return (a & 63) < (b & 63); });
    const auto in0 = random_floats(words * dim, 51, 0.5f);
    const auto out0 = random_floats((2 * words - 1) * dim, 52, 0.5f);
    std::vector<float> in = in0;
    std::vector<float> out = out0;
    const PlainMatrices plain{in, out, dim};
    SharedMatrix shared_in = SharedMatrix::wrap(std::vector<float>(in0), dim);
    SharedMatrix shared_out = SharedMatrix::wrap(std::vector<float>(out0), dim);
    cbow_softmax_step(plain, tree, sorted, 17, dim, 0.05f, true);
    cbow_softmax_step(shared_in, shared_out, tree, context, 17, dim, 0.05f, true);
    EXPECT_EQ(shared_in.into_array(), in) << length;
    EXPECT_EQ(shared_out.into_array(), out) << length;
  }
}

TEST(KernelForms, FusedLevelsMatchOneCallPerLevel) {
  // 70 words: rows 3 and 67 share an input stripe; one context repeats a word (one call per width),
  // the others do not. Negative samples hit the target and repeat rows (9 samples: past the batched
  // form's lanes); widths out of order, and a width 0 (which falls back to the per-level calls).
  constexpr std::size_t dim = 12;
  constexpr std::size_t words = 70;
  const std::vector<uint64_t> counts = varied_counts(words, 37, 23);
  const HuffmanTree tree = build_huffman(counts);
  const AliasTable table = AliasTable::build(noise_weights(counts));
  const auto in0 = random_floats(words * dim, 41, 0.5f);
  const auto out0 = random_floats((2 * words - 1) * dim, 42, 0.5f);
  const std::vector<std::vector<uint64_t>> contexts{{3, 67, 10, 41}, {3, 67, 3, 10}, {5}};
  enum Kind { sg_hs, cbow_hs, cbow_ns };
  for (const auto& levels : std::vector<std::vector<uint64_t>>{{3, 6, 12}, {8, 4, 12}, {5, 0, 9}}) {
    for (const Kind kind : {sg_hs, cbow_hs, cbow_ns}) {
      for (const auto& context : contexts) {
        SharedMatrix fused_in = SharedMatrix::wrap(std::vector<float>(in0), dim);
        SharedMatrix fused_out = SharedMatrix::wrap(std::vector<float>(out0), dim);
        SharedMatrix single_in = SharedMatrix::wrap(std::vector<float>(in0), dim);
        SharedMatrix single_out = SharedMatrix::wrap(std::vector<float>(out0), dim);
        ChaChaStream fused_stream = ChaChaStream::from_seed(5);
        ChaChaStream single_stream = ChaChaStream::from_seed(5);
        for (uint64_t step = 0; step < 30; ++step) {
          const uint64_t target = (step * 11) % words;
          const bool mean = step % 2 == 0;
          const uint64_t negative = step % 3 == 0 ? 9 : 4;
          if (kind == sg_hs) {
            sg_softmax_levels(fused_in, fused_out, tree, step % words, target, levels, 0.05f);
          } else if (kind == cbow_hs) {
            cbow_softmax_levels(fused_in, fused_out, tree, context, target, levels, 0.05f, mean);
          } else {
            cbow_negative_levels(fused_in, fused_out, context, target, negative, levels, 0.05f, mean,
                                 &table, fused_stream);
          }
          for (const uint64_t level : levels) {
            if (kind == sg_hs) {
              sg_softmax_step(single_in, single_out, tree, step % words, target, level, 0.05f);
            } else if (kind == cbow_hs) {
              cbow_softmax_step(single_in, single_out, tree, context, target, level, 0.05f, mean);
            } else {
              cbow_negative_step(single_in, single_out, context, target, negative, level, 0.05f, mean,
                                 &table, single_stream);
            }
          }
        }
        SCOPED_TRACE(testing::Message() << "kind " << kind << " context " << context.size()
                                        << " levels " << levels[0] << "," << levels[1]);
        EXPECT_EQ(fused_stream.next_u64(), single_stream.next_u64());
        EXPECT_EQ(fused_in.into_array(), single_in.into_array());
        EXPECT_EQ(fused_out.into_array(), single_out.into_array());
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

TEST(SentenceRoutine, WindowZeroTrainsNothingButDrawsPerPosition) {
  SentenceFixture f;
  f.params.window = 0;
  const auto in0 = f.in, out0 = f.out;
  const std::vector<uint64_t> sentence{1, 2, 3, 1, 5};
  std::atomic<bool> stop{false};
  CountingProbe probe;
  auto stream = ChaChaStream::from_seed(5);
  EXPECT_FALSE(train_sentence(sentence, stream, f.params, f.tables(), f.m(), stop, probe));
  EXPECT_EQ(f.in, in0);
  EXPECT_EQ(f.out, out0);
  // below(1) takes 64-bit draws until one is below 2^63: at least one per position.
  auto reference = ChaChaStream::from_seed(5);
  for (std::size_t i = 0; i < sentence.size(); ++i) reference.in_closed_range(0, 0);
  EXPECT_EQ(stream.index(), reference.index());
  EXPECT_EQ(stream.counter(), reference.counter());
}

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
  // With the flag already set the routine returns at once, without asking the probe.
  CountingProbe later;
  EXPECT_TRUE(train_sentence(sentence, stream, f.params, f.tables(), f.m(), stop, later));
  EXPECT_EQ(later.calls, 0);
}

TEST(SentenceRoutine, SequentialAndSharedFormsAgreeWhereTheyComputeTheSame) {
  // Skip-gram softmax, CBOW negative sampling, and skip-gram negative sampling with one level
  // compute identical values in both forms; run whole sentences (with words that share stripes)
  // through each, the shared form with the sentence in every index width a chunk may carry.
  struct Mode {
    bool sg, hs;
    std::vector<uint64_t> levels;
  };
  const std::vector<Mode> modes{{true, true, {2, 4, 8}}, {false, false, {2, 4, 8}},
                                {true, false, {8}}};
  std::vector<uint64_t> sentence(200);
  for (std::size_t i = 0; i < sentence.size(); ++i) sentence[i] = (i * 29 + i * i / 5) % 70;
  for (const Mode& mode : modes) {
    SentenceFixture f;
    f.params.sg = mode.sg;
    f.params.hs = mode.hs;
    f.params.levels = mode.levels;
    const std::vector<float> in0 = f.in;
    const std::vector<float> out0 = f.out;
    std::atomic<bool> stop{false};
    CountingProbe probe;
    auto s1 = ChaChaStream::from_seed(9);
    EXPECT_FALSE(train_sentence(sentence, s1, f.params, f.tables(), f.m(), stop, probe));
    EXPECT_NE(f.in, in0);
    const std::vector<uint32_t> wide(sentence.begin(), sentence.end());
    const std::vector<uint16_t> narrow(sentence.begin(), sentence.end());
    for (const int bits : {64, 32, 16}) {
      SharedMatrix in = SharedMatrix::wrap(std::vector<float>(in0), kDim);
      SharedMatrix out = SharedMatrix::wrap(std::vector<float>(out0), kDim);
      auto s2 = ChaChaStream::from_seed(9);
      const bool interrupted =
          bits == 64   ? train_sentence(sentence, s2, f.params, f.tables(), in, out, stop, nullptr)
          : bits == 32 ? train_chunk_sentence(std::span<const uint32_t>(wide), s2, f.params,
                                              f.tables(), in, out, stop, nullptr)
                       : train_chunk_sentence(std::span<const uint16_t>(narrow), s2, f.params,
                                              f.tables(), in, out, stop, nullptr);
      EXPECT_FALSE(interrupted);
      EXPECT_EQ(f.in, in.into_array()) << "sg " << mode.sg << " hs " << mode.hs << " bits " << bits;
      EXPECT_EQ(f.out, out.into_array()) << "sg " << mode.sg << " hs " << mode.hs << " bits " << bits;
    }
  }
}

}  // namespace
}  // namespace tarnivel
