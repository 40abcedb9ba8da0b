#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "common/error.hpp"
#include "rng/chacha.hpp"
#include "rng/seed.hpp"

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

}  // namespace
}  // namespace tarnivel
