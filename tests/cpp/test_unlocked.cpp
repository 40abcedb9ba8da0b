// The bound on the pool threads of one loop, and chunk training without row locks (also run under
// ThreadSanitizer, with the deliberate races of unlocked training suppressed: suite names match
// *Pool* or *Chunk*).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "rng/chacha.hpp"
#include "rng/seed.hpp"
#include "sampling/alias.hpp"
#include "training/huffman.hpp"
#include "training/pool.hpp"
#include "training/sentence.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {
namespace {

using namespace std::chrono_literals;

// ---- at most max_threads pool threads per loop ----

// The distinct threads that ran a loop's items, each item long enough that every free pool thread
// would join an unbounded loop.
std::set<std::thread::id> threads_of_loop(std::size_t items, std::size_t max_threads) {
  std::mutex mutex;
  std::set<std::thread::id> seen;
  const std::thread::id caller = std::this_thread::get_id();
  pool_for_each(
      items,
      [&](std::size_t) {
        std::this_thread::sleep_for(200us);
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(std::this_thread::get_id());
        return false;
      },
      max_threads);
  EXPECT_EQ(seen.count(caller), 0u);  // the caller only waits
  return seen;
}

TEST(PoolThreadBound, ALoopUsesAtMostItsBound) {
  const std::size_t pool = worker_pool_size();
  for (std::size_t bound = 1; bound < pool; ++bound) {
    SCOPED_TRACE(testing::Message() << "bound " << bound << " of " << pool);
    const auto seen = threads_of_loop(300, bound);
    EXPECT_GE(seen.size(), 1u);
    EXPECT_LE(seen.size(), bound);
  }
  // 0 counts as 1; a bound above the pool is the pool.
  EXPECT_EQ(threads_of_loop(100, 0).size(), 1u);
  EXPECT_LE(threads_of_loop(100, pool + 5).size(), pool);
}

TEST(PoolThreadBound, BoundedLoopsRunEveryItemOnceAndStop) {
  for (const std::size_t bound : {1u, 2u, 3u}) {
    std::vector<std::atomic<int>> runs(2000);
    EXPECT_FALSE(pool_for_each(
        runs.size(),
        [&](std::size_t i) {
          runs[i].fetch_add(1);
          return false;
        },
        bound));
    for (const auto& r : runs) ASSERT_EQ(r.load(), 1);
    // Every item asks to stop: at most one item per taking part thread has started.
    std::atomic<std::size_t> started{0};
    EXPECT_TRUE(pool_for_each(
        100000,
        [&](std::size_t) {
          started.fetch_add(1);
          return true;
        },
        bound));
    EXPECT_LE(started.load(), bound);
  }
}

TEST(PoolThreadBound, SuccessiveLoopsShareTheSameThreads) {
  // The chunks of one call are successive loops with the same bound: together they must not touch
  // more threads than the bound either.
  const std::size_t pool = worker_pool_size();
  for (std::size_t bound = 1; bound < pool; ++bound) {
    std::set<std::thread::id> all;
    for (int loop = 0; loop < 20; ++loop) {
      const auto seen = threads_of_loop(20, bound);
      all.insert(seen.begin(), seen.end());
    }
    EXPECT_LE(all.size(), bound) << "bound " << bound << " of " << pool;
  }
}

TEST(PoolThreadBound, ABoundedLoopLeavesThreadsToOtherCallers) {
  // With one thread on a long loop of bound 1, a second caller's loop of bound 2 still gets the
  // other pool thread and ends while the first is still running.
  if (worker_pool_size() < 2) GTEST_SKIP() << "needs a pool of two threads";
  std::atomic<bool> release{false};
  std::atomic<bool> second_done{false};
  std::thread first([&] {
    pool_for_each(
        1,
        [&](std::size_t) {
          while (!release.load()) std::this_thread::sleep_for(1ms);
          return false;
        },
        1);
  });
  std::thread second([&] {
    pool_for_each(
        50, [](std::size_t) { return false; }, 2);
    second_done.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!second_done.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(second_done.load());
  release.store(true);
  first.join();
  second.join();
}

// ---- chunk training without row locks ----

constexpr std::size_t kVocab = 40;
constexpr std::size_t kDim = 12;

struct UnlockedSetup {
  SentenceChunk chunk;
  std::vector<std::vector<uint64_t>> sentences;
  uint64_t tokens = 0;
  HuffmanTree tree;
  AliasTable alias;
  TrainParams params;

  UnlockedSetup(bool sg, bool hs, bool narrow, std::size_t count, std::size_t max_len, uint32_t seed)
      : chunk(narrow) {
    std::mt19937 gen(seed);
    std::vector<uint64_t> counts(kVocab);
    for (std::size_t w = 0; w < kVocab; ++w) counts[w] = 1 + (w * 53) % 90;
    tree = build_huffman(counts);
    alias = AliasTable::build(noise_weights(counts));
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<uint64_t> s(1 + gen() % max_len);
      for (auto& w : s) w = gen() % kVocab;
      chunk.push_back(s);
      tokens += s.size();
      sentences.push_back(std::move(s));
    }
    params.window = 3;
    params.sg = sg;
    params.hs = hs;
    params.negative = 4;
    params.levels = {3, 6, 12};
    params.lr = 0.05f;
  }

  std::size_t output_rows() const { return params.hs ? 2 * kVocab - 1 : kVocab; }
  OutputTables tables() const { return {&tree, params.hs ? nullptr : &alias}; }

  // Distinct starting values, so that a lost or doubled update shows.
  static std::vector<float> matrix(std::size_t rows, float scale) {
    std::vector<float> m(rows * kDim);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = scale * static_cast<float>((i * 7) % 23) / 23.0f;
    return m;
  }
};

struct Quiet : SignalProbe {
  bool interrupted() override { return false; }
};

ChunkWork unlocked_work(const UnlockedSetup& setup, const SharedMatrix& input,
                        const SharedMatrix& output, std::atomic<bool>& stop,
                        std::atomic<uint64_t>* progress, SignalProbe* probe) {
  ChunkWork work;
  work.chunk = &setup.chunk;
  work.params = &setup.params;
  work.tables = setup.tables();
  work.input = input;
  work.output = output;
  work.stop = &stop;
  work.progress = progress;
  work.caller_probe = probe;
  work.row_locks = false;
  return work;
}

struct Mode {
  bool sg;
  bool hs;
};
constexpr Mode kModes[] = {{false, false}, {false, true}, {true, false}, {true, true}};

TEST(UnlockedChunk, OneSentenceGivesTheSequentialValues) {
  // A one-sentence chunk trains on the calling thread with its worker stream: without row locks it
  // must give the sequential routine's values bit for bit, in every mode and both index widths (the
  // multi-worker kernels sum some products in another order, so they would not).
  for (const Mode mode : kModes) {
    for (const bool narrow : {false, true}) {
      SCOPED_TRACE(testing::Message() << "sg " << mode.sg << " hs " << mode.hs << " narrow " << narrow);
      UnlockedSetup setup(mode.sg, mode.hs, narrow, 0, 1, 11);
      std::vector<uint64_t> s;
      for (std::size_t i = 0; i < 60; ++i) s.push_back((i * 13 + i / 7) % kVocab);
      setup.chunk.push_back(s);

      std::vector<float> in = UnlockedSetup::matrix(kVocab, 0.5f);
      std::vector<float> out = UnlockedSetup::matrix(setup.output_rows(), 0.25f);
      ChaChaStream expected_stream = worker_stream();  // the stream the chunk will use, copied
      std::atomic<bool> no_stop{false};
      Quiet quiet;
      EXPECT_FALSE(train_sentence(s, expected_stream, setup.params, setup.tables(),
                                  PlainMatrices{in, out, kDim}, no_stop, quiet));

      SharedMatrix input = SharedMatrix::wrap(UnlockedSetup::matrix(kVocab, 0.5f), kDim);
      SharedMatrix output = SharedMatrix::wrap(UnlockedSetup::matrix(setup.output_rows(), 0.25f), kDim);
      std::atomic<bool> stop{false};
      std::atomic<uint64_t> progress{0};
      ChunkWork work = unlocked_work(setup, input, output, stop, &progress, &quiet);
      EXPECT_FALSE(train_chunk(work));
      EXPECT_EQ(progress.load(), 60u);
      work = ChunkWork();
      EXPECT_EQ(input.into_array(), in);
      EXPECT_EQ(output.into_array(), out);
      // The chunk advanced the thread's stream exactly as far as the sequential run did.
      EXPECT_EQ(worker_stream().next_u64(), expected_stream.next_u64());
    }
  }
}

TEST(UnlockedChunk, AllModesOnSeveralThreads) {
  // Every sentence trained once, progress counted, finite and changed weights; run under
  // ThreadSanitizer too (with the unlocked races suppressed), for a bound of 1 and of the pool.
  for (const Mode mode : kModes) {
    for (const std::size_t bound : {std::size_t{1}, SIZE_MAX}) {
      SCOPED_TRACE(testing::Message() << "sg " << mode.sg << " hs " << mode.hs << " bound " << bound);
      UnlockedSetup setup(mode.sg, mode.hs, mode.sg, 400, 25, 3 + mode.sg * 2 + mode.hs);
      SharedMatrix input = SharedMatrix::wrap(UnlockedSetup::matrix(kVocab, 0.5f), kDim);
      SharedMatrix output = SharedMatrix::wrap(UnlockedSetup::matrix(setup.output_rows(), 0.25f), kDim);
      std::atomic<bool> stop{false};
      std::atomic<uint64_t> progress{0};
      ChunkWork work = unlocked_work(setup, input, output, stop, &progress, nullptr);
      work.max_threads = bound;
      EXPECT_FALSE(train_chunk(work));
      EXPECT_EQ(progress.load(), setup.tokens);
      EXPECT_FALSE(stop.load());
      work = ChunkWork();
      const std::vector<float> in = input.into_array();
      const std::vector<float> out = output.into_array();
      const std::vector<float> in0 = UnlockedSetup::matrix(kVocab, 0.5f);
      std::size_t changed_rows = 0;
      for (std::size_t r = 0; r < kVocab; ++r) {
        bool changed = false;
        for (std::size_t j = 0; j < kDim; ++j) {
          ASSERT_TRUE(std::isfinite(in[r * kDim + j]));
          changed = changed || in[r * kDim + j] != in0[r * kDim + j];
        }
        changed_rows += changed;
      }
      for (const float x : out) ASSERT_TRUE(std::isfinite(x));
      EXPECT_GE(changed_rows, kVocab - 2);  // 400 sentences touch (nearly) every word
    }
  }
}

TEST(UnlockedChunk, StopFlagAndSignalsAsWithLocks) {
  UnlockedSetup setup(true, false, true, 3000, 50, 5);
  SharedMatrix input = SharedMatrix::wrap(UnlockedSetup::matrix(kVocab, 0.5f), kDim);
  SharedMatrix output = SharedMatrix::wrap(UnlockedSetup::matrix(kVocab, 0.25f), kDim);
  std::atomic<bool> stop{true};
  std::atomic<uint64_t> progress{0};
  ChunkWork work = unlocked_work(setup, input, output, stop, &progress, nullptr);

  // Already set: nothing trains.
  EXPECT_TRUE(train_chunk(work));
  EXPECT_EQ(progress.load(), 0u);
  EXPECT_EQ(input.row(1)[0], UnlockedSetup::matrix(kVocab, 0.5f)[kDim]);

  // Set while the chunk trains: the rest of the chunk is left.
  stop.store(false);
  std::thread watcher([&] {
    while (progress.load() == 0) std::this_thread::yield();
    stop.store(true);
  });
  EXPECT_TRUE(train_chunk(work));
  watcher.join();
  EXPECT_GT(progress.load(), 0u);
  EXPECT_LT(progress.load(), setup.tokens);

  // A one-sentence chunk runs on the caller and asks the caller's probe; a signal stops it.
  struct Raising : SignalProbe {
    std::thread::id caller = std::this_thread::get_id();
    int calls = 0;
    bool on_caller = true;
    bool interrupted() override {
      ++calls;
      on_caller = on_caller && std::this_thread::get_id() == caller;
      return true;
    }
  };
  UnlockedSetup single(false, true, false, 1, 30, 9);
  Raising raising;
  std::atomic<bool> fresh{false};
  std::atomic<uint64_t> none{0};
  ChunkWork one = unlocked_work(single, input, SharedMatrix::wrap(UnlockedSetup::matrix(single.output_rows(), 0.25f), kDim),
                                fresh, &none, &raising);
  EXPECT_TRUE(train_chunk(one));
  EXPECT_TRUE(fresh.load());
  EXPECT_EQ(raising.calls, 1);
  EXPECT_TRUE(raising.on_caller);
  EXPECT_EQ(none.load(), 0u);
}

}  // namespace
}  // namespace tarnivel
