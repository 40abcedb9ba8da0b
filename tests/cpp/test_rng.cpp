// Random streams and seeding, and what is drawn with them: subsampling's keep thresholds, and the output
// layer's tables (the Huffman tree of hierarchical softmax, the alias table of the noise distribution).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "rng/chacha.hpp"
#include "rng/seed.hpp"
#include "sampling/alias.hpp"
#include "training/huffman.hpp"
#include "training/subsample.hpp"

namespace tarnivel {
namespace {

// Values computed once by a separate straightforward reimplementation of the seeding and the
// 12-round block function (not derived from this code).
TEST(ChaChaStream, KnownValuesOfSeed42) {
  ChaChaStream a = ChaChaStream::from_seed(42), b = a, c = a, d = a;
  for (const uint32_t v : {0x222724a2u, 0x86cc7763u, 0x3fad517du}) EXPECT_EQ(a.next_u32(), v);
  for (const uint64_t v : {0x86cc7763222724a2ull, 0x8af00a133fad517dull, 0xa2ef6071de5134d1ull}) EXPECT_EQ(b.next_u64(), v);
  EXPECT_EQ(c.uniform_f32(), 0.13340973854064941f);
  EXPECT_EQ(c.uniform_f32(), 0.5265573859214783f);
  for (const uint64_t v : {526, 542, 636, 405, 34}) EXPECT_EQ(d.below(1000), v);
  for (int i = 0; i < 61; ++i) a.next_u32();
  EXPECT_EQ(a.next_u32(), 0xee66b7a9u);  // the refill after 64 words: the first word of block 4
  // A 64-bit read is the next two 32-bit words, low word first, also across a refill.
  for (const int skip : {0, 1, 63}) {
    ChaChaStream x = ChaChaStream::from_seed(5);
    for (int i = 0; i < skip; ++i) x.next_u32();
    ChaChaStream y = x;
    const uint64_t lo = y.next_u32();
    EXPECT_EQ(x.next_u64(), lo | uint64_t{y.next_u32()} << 32) << skip;
    EXPECT_EQ(x.next_u32(), y.next_u32()) << skip;
  }
}

// The portable refill (the stream's refill where SSE2 is missing) against the stream's own refills,
// whose words the test above pins.
TEST(ChaChaStream, PortableRefillGivesTheStreamsWords) {
  ChaChaStream s = ChaChaStream::from_seed(42);
  std::array<uint32_t, ChaChaStream::kBufferWords> words{};
  for (int refill = 0; refill < 5; ++refill) {
    for (std::size_t i = 0; i < ChaChaStream::kBufferWords; ++i) s.next_u32();  // one refill each
    chacha_refill_words(s.key(), s.counter() - 4, 0, words);
    EXPECT_EQ(words, s.buffer()) << refill;
    for (const bool native : {false, true}) {
      if (chacha_refill_lanes(native, s.key(), s.counter() - 4, 0, words)) EXPECT_EQ(words, s.buffer()) << native;
    }
  }
}

TEST(ChaChaStream, BelowAndClosedRange) {
  // below(1) is 0 but rejects draws of 2^63 or more: seed 42's first draw is one, so it reads on.
  ChaChaStream r = ChaChaStream::from_seed(42);
  ASSERT_GE(ChaChaStream(r).next_u64(), uint64_t{1} << 63);
  EXPECT_EQ(r.below(1), 0u);
  EXPECT_GE(r.index(), 4u);
  ChaChaStream a = ChaChaStream::from_seed(9), b = a;
  EXPECT_EQ(a.in_closed_range(0, UINT64_MAX), b.next_u64());
  EXPECT_EQ(a.in_closed_range(7, 7), 7u);
  EXPECT_THROW(a.below(0), InternalError);
  EXPECT_THROW(a.in_closed_range(5, 4), InternalError);
}

// The key is 0 so these equal CPython's bytes hash under PYTHONHASHSEED=0 (SipHash-1-3).
TEST(SipHash13, ZeroKeyKnownValues) {
  const uint64_t expected[] = {13646096770106105413ull, 2206609067086327257ull, 11876854719037224982ull,
                               18270091135093349626ull};
  for (uint64_t id = 0; id < 4; ++id) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(id >> (8 * i));
    EXPECT_EQ(siphash13(0, 0, bytes, 8), expected[id]) << id;
  }
}

TEST(SeedingThread, SetSeedEpochAndWorkerStreams) {
  set_seed(7);
  const auto global = [] {
    uint64_t v = 0;
    with_global_stream([&](ChaChaStream& s) { v = s.next_u64(); });
    return v;
  };
  const uint64_t first = global();
  EXPECT_EQ(first, ChaChaStream::from_seed(7).next_u64());
  EXPECT_NE(global(), first);  // the global stream continues between uses
  EXPECT_EQ(stream_for_epoch(5).next_u64(), ChaChaStream::from_seed(12).next_u64());

  // A worker stream continues across calls until the generation changes; re-seeding with the same
  // base seed starts the same stream over on the same thread, and other threads get other streams.
  ChaChaStream copy = worker_stream();
  EXPECT_EQ(worker_stream().next_u64(), copy.next_u64());
  EXPECT_EQ(worker_stream().next_u64(), copy.next_u64());
  set_seed(7);
  const uint64_t start = worker_stream().next_u64();
  worker_stream().next_u64();
  set_seed(7);
  EXPECT_EQ(worker_stream().next_u64(), start);
  uint64_t there[2] = {0, 0};
  std::thread a([&] { there[0] = worker_stream().next_u64(); });
  std::thread b([&] { there[1] = worker_stream().next_u64(); });
  a.join();
  b.join();
  EXPECT_TRUE(start != there[0] && start != there[1] && there[0] != there[1]);
  set_seed(42);
}

// Breaking the lock is permanent for the process, so it happens in a forked child: a failure inside
// the global stream's lock refuses later uses, but set_seed still works.
TEST(SeedingDeathTest, BrokenGlobalLockIsReportedButIgnoredBySetSeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto child = [] {
    try {
      with_global_stream([](ChaChaStream&) { throw ValueError("boom"); });
    } catch (const ValueError&) {
    }
    bool refused = false;
    try {
      with_global_stream([](ChaChaStream&) {});
    } catch (const InternalError&) {
      refused = true;
    }
    const uint64_t gen = seed_generation();
    set_seed(3);
    std::exit(refused && seed_generation() == gen + 1 && base_seed() == 3 ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// N = 1000 and sample 0.025, so s * N = 25: count 400 keeps (sqrt(16) + 1) * 25 / 400 = 0.3125, count 100
// keeps (2 + 1) * 25 / 100 = 0.75, count 25 keeps min(1, 2), and a count of 0 is always kept.
TEST(Subsample, ThresholdsAreExactAndOnlyDroppableWordsDraw) {
  const std::vector<uint64_t> counts{400, 100, 25, 475, 0};
  const KeepTable table = KeepTable::build(counts, 0.025);
  const auto t = table.thresholds();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0], 1342177280u);  // 0.3125 * 2^32
  EXPECT_EQ(t[1], 3221225472u);  // 0.75 * 2^32
  EXPECT_EQ(t[2], KeepTable::kAlways);
  EXPECT_EQ(t[4], KeepTable::kAlways);
  EXPECT_LT(t[3], t[0]);  // more frequent, dropped more often

  // Words that are always kept take no draw: the stream is where it started.
  ChaChaStream stream = ChaChaStream::from_seed(5);
  std::vector<uint64_t> kept;
  const std::vector<uint64_t> always{2, 4, 2, 9};  // 9: beyond the table, kept
  EXPECT_EQ(table.filter<uint64_t>(always, stream, kept).size(), 4u);
  EXPECT_EQ(stream.next_u32(), ChaChaStream::from_seed(5).next_u32());

  // One 32-bit draw per droppable token, kept when below the threshold, order preserved.
  std::vector<uint32_t> sentence(200000, 0);
  sentence[7] = 2;
  ChaChaStream a = ChaChaStream::from_seed(9);
  ChaChaStream b = ChaChaStream::from_seed(9);
  std::vector<uint32_t> kept32;
  table.filter<uint32_t>(sentence, a, kept32);
  std::size_t expected = 0;
  for (std::size_t i = 0; i < sentence.size(); ++i) expected += sentence[i] == 2 || b.next_u32() < t[0];
  EXPECT_EQ(kept32.size(), expected);
  EXPECT_NEAR(static_cast<double>(kept32.size()) / sentence.size(), 0.3125, 0.005);
  EXPECT_EQ(a.next_u32(), b.next_u32());
}

using Codes = std::vector<std::vector<uint8_t>>;
using Paths = std::vector<std::vector<uint64_t>>;

TEST(HuffmanTree, SmallTreesFromTheirCounts) {
  EXPECT_TRUE(build_huffman(std::vector<uint64_t>{}).empty());

  const HuffmanTree one = build_huffman(std::vector<uint64_t>{7});
  EXPECT_EQ(one.codes, (Codes{{}}));
  EXPECT_EQ(one.path_nodes, (Paths{{}}));

  // Lighter word 1 comes out first (0-branch), word 0 second (1-branch).
  const HuffmanTree two = build_huffman(std::vector<uint64_t>{5, 3});
  EXPECT_EQ(two.codes, (Codes{{1}, {0}}));
  EXPECT_EQ(two.path_nodes, (Paths{{2}, {2}}));

  // Ties: the larger node number comes out first.
  const HuffmanTree three = build_huffman(std::vector<uint64_t>{1, 1, 1});
  EXPECT_EQ(three.codes, (Codes{{0}, {1, 1}, {1, 0}}));
  EXPECT_EQ(three.path_nodes, (Paths{{4}, {4, 3}, {4, 3}}));

  // Zero counts weigh 1: they tie like ones.
  EXPECT_EQ(build_huffman(std::vector<uint64_t>{0, 0}).codes, (Codes{{1}, {0}}));
}

TEST(HuffmanTree, ForVocabCoversEveryWord) {
  // Counts for 3 words, vocabulary of 5: the missing two weigh 1 and still get codes.
  const HuffmanTree grown = build_huffman_for_vocab(std::vector<uint64_t>{9, 4, 4}, 5);
  EXPECT_EQ(grown.codes, build_huffman(std::vector<uint64_t>{9, 4, 4, 1, 1}).codes);
  EXPECT_EQ(grown.path_nodes, build_huffman(std::vector<uint64_t>{9, 4, 4, 1, 1}).path_nodes);
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{}, 2).codes, (Codes{{1}, {0}}));
  EXPECT_TRUE(build_huffman_for_vocab(std::vector<uint64_t>{}, 0).empty());
  // More counts than words: only the vocabulary's words become leaves.
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{5, 3, 8}, 2).codes, (Codes{{1}, {0}}));
}

AliasTable table_for(const std::vector<uint64_t>& counts) {
  const std::vector<double> w = noise_weights(counts);
  return AliasTable::build(w);
}

TEST(AliasTable, SmallTablesFromTheirCounts) {
  // One word: it lands on the large stack and is never paired.
  const AliasTable one = table_for({3});
  EXPECT_EQ(one.prob, (std::vector<float>{1.0f}));
  EXPECT_EQ(one.alias, (std::vector<uint64_t>{0}));
  ChaChaStream s = ChaChaStream::from_seed(1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(one.sample(s), 0u);
  // Equal counts: both scaled to exactly 1.0, both on the large stack, nothing paired.
  EXPECT_EQ(table_for({1, 1}).prob, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(table_for({1, 1}).alias, (std::vector<uint64_t>{0, 0}));
  // Counts 1 and 15: index 0 is paired with 1; index 1 keeps its reduced value.
  const double p1 = std::pow(15.0, 0.75);
  const double total = (-0.0 + 1.0) + p1;
  const double scaled0 = (1.0 / total) * 2.0;
  const double scaled1 = ((p1 / total) * 2.0 + scaled0) + (-1.0);
  const AliasTable skew = table_for({1, 15});
  EXPECT_EQ(skew.alias, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(skew.prob, (std::vector<float>{static_cast<float>(scaled0), static_cast<float>(scaled1)}));
  EXPECT_NEAR(skew.prob[0], 0.2320, 1e-3);
  // Zero counts: the weights stay unnormalised (0, 0), built as they are: all on the small stack.
  EXPECT_EQ(noise_weights(std::vector<uint64_t>{0, 0}), (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(table_for({0, 0}).prob, (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(table_for({0, 0}).alias, (std::vector<uint64_t>{0, 0}));
  // No words: sampling gives 0 without reading the stream.
  const AliasTable empty = table_for({});
  EXPECT_TRUE(empty.empty());
  ChaChaStream before = s;
  EXPECT_EQ(empty.sample(s), 0u);
  EXPECT_EQ(s.next_u64(), before.next_u64());
}

}  // namespace
}  // namespace tarnivel
