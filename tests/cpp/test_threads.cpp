// SharedMatrix stripes, the worker pool and its per-loop bound, and chunk training across threads
// with and without row locks (also run under ThreadSanitizer: suite names match *Shared*, *Pool* or
// *Chunk*; the deliberate races of unlocked training are suppressed there).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "rng/chacha.hpp"
#include "rng/seed.hpp"
#include "sampling/alias.hpp"
#include "training/hs.hpp"
#include "training/huffman.hpp"
#include "training/pool.hpp"
#include "training/chunk.hpp"
#include "training/sentence.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {
namespace {

using namespace std::chrono_literals;

// Whether lock_row(second) blocks while this thread holds lock_row(first) for `wait`. A free stripe is
// given a long wait (the loop ends as soon as the other thread has it), so that a slow thread start
// under a sanitizer is not taken for blocking.
bool blocks_while_held(const SharedMatrix& m, std::size_t first, std::size_t second,
                       std::chrono::milliseconds wait) {
  std::atomic<bool> acquired{false};
  std::thread other;
  {
    auto guard = m.lock_row(first);
    other = std::thread([&] {
      auto g = m.lock_row(second);
      acquired.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!acquired.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  }
  const bool blocked = !acquired.load();
  other.join();
  EXPECT_TRUE(acquired.load());
  return blocked;
}

TEST(SharedMatrix, RowsAndStripes) {
  SharedMatrix m = SharedMatrix::wrap(std::vector<float>(70 * 3, 1.0f), 3);
  EXPECT_EQ(m.rows(), 70u);
  EXPECT_TRUE(blocks_while_held(m, 5, 69, 200ms));  // 69 & 63 == 5
  EXPECT_FALSE(blocks_while_held(m, 5, 6, 20s));
  m.row(69)[2] = 7.0f;
  EXPECT_EQ(m.row_prefix(69, 3)[2], 7.0f);
  EXPECT_THROW(m.row(70), InternalError);
  EXPECT_THROW(m.row_prefix(0, 4), InternalError);
  EXPECT_THROW(m.lock_row(70), InternalError);
  // into_array needs the last copy, and moves the storage out.
  const float* storage = m.row(0).data();
  {
    SharedMatrix copy = m;
    EXPECT_THROW(m.into_array(), InternalError);
  }
  const std::vector<float> back = m.into_array();
  EXPECT_EQ(back.data(), storage);
  EXPECT_EQ(back[69 * 3 + 2], 7.0f);
  EXPECT_EQ(m.rows(), 0u);
}

TEST(SharedMatrix, StripeOfAFailedHolderIsBroken) {
  SharedMatrix m = SharedMatrix::wrap(std::vector<float>(130, 0.0f), 1);
  const SharedMatrix copy = m;
  try {
    auto guard = m.lock_row(3);
    throw std::runtime_error("holder fails");
  } catch (const std::runtime_error&) {
  }
  EXPECT_THROW(copy.lock_row(67), InternalError);  // same stripe, seen through a copy
  EXPECT_THROW(m.lock_row(3), InternalError);
  { auto fine = m.lock_row(4); }  // other stripes still work, and a normal release breaks nothing
  { auto again = m.lock_row(4); }
}

// ---- the pool: every item once, stop, errors, and at most `bound` threads per loop ----

// The distinct threads that ran a loop's items, each item long enough that every free pool thread
// would join an unbounded loop.
std::set<std::thread::id> threads_of_loop(std::size_t items, std::size_t bound) {
  std::mutex mutex;
  std::set<std::thread::id> seen;
  pool_for_each(
      items,
      [&](std::size_t) {
        std::this_thread::sleep_for(200us);
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(std::this_thread::get_id());
        return false;
      },
      bound);
  EXPECT_EQ(seen.count(std::this_thread::get_id()), 0u);  // the caller only waits
  return seen;
}

TEST(WorkerPool, EveryItemOnceAndStopWithinTheBound) {
  const std::size_t pool = worker_pool_size();
  ASSERT_GE(pool, 1u);
  EXPECT_EQ(worker_pool_size(), pool);
  for (const std::size_t bound : {SIZE_MAX, std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
    for (const std::size_t n : {0u, 1u, 7u, 64u, 5003u}) {
      std::vector<std::atomic<int>> runs(n);
      EXPECT_FALSE(pool_for_each(n, [&](std::size_t i) { runs[i].fetch_add(1); return false; }, bound));
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "n " << n << " i " << i;
    }
    // Every item asks to stop: at most one item per taking part thread has started.
    std::atomic<std::size_t> started{0};
    EXPECT_TRUE(pool_for_each(100000, [&](std::size_t) { started.fetch_add(1); return true; }, bound));
    EXPECT_GE(started.load(), 1u);
    EXPECT_LE(started.load(), std::min(bound, pool));
  }
}

TEST(WorkerPool, ExceptionReachesTheCallerAfterRunningItemsEnd) {
  std::atomic<std::size_t> started{0};
  const auto failing = [&](std::size_t i) -> bool {
    started.fetch_add(1);
    if (i == 10) internal_error("item failed");
    return false;
  };
  EXPECT_THROW(pool_for_each(100000, failing), InternalError);
  EXPECT_LT(started.load(), 100000u);
  std::atomic<std::size_t> count{0};  // the pool keeps working
  pool_for_each(50, [&](std::size_t) { count.fetch_add(1); return false; });
  EXPECT_EQ(count.load(), 50u);
}

TEST(PoolThreadBound, SuccessiveLoopsStayWithinTheBound) {
  // The chunks of one call are successive loops with the same bound: together they must not touch
  // more threads than the bound either. 0 counts as 1; a bound above the pool is the pool.
  const std::size_t pool = worker_pool_size();
  for (std::size_t bound = 1; bound < pool; ++bound) {
    std::set<std::thread::id> all;
    for (int loop = 0; loop < 20; ++loop) {
      const auto seen = threads_of_loop(loop == 0 ? 300 : 20, bound);
      EXPECT_GE(seen.size(), 1u);
      all.insert(seen.begin(), seen.end());
    }
    EXPECT_LE(all.size(), bound) << "bound " << bound << " of " << pool;
  }
  EXPECT_EQ(threads_of_loop(100, 0).size(), 1u);
  EXPECT_LE(threads_of_loop(100, pool + 5).size(), pool);
}

TEST(PoolThreadBound, ABoundedLoopLeavesThreadsToOtherCallers) {
  // With one thread on a long loop of bound 1, a second caller's loop of bound 2 still gets the
  // other pool thread and runs all its items while the first is still running.
  if (worker_pool_size() < 2) GTEST_SKIP() << "needs a pool of two threads";
  std::atomic<bool> release{false};
  std::atomic<int> second_items{0};
  std::atomic<bool> second_done{false};
  std::thread first([&] {
    pool_for_each(1, [&](std::size_t) {
      while (!release.load()) std::this_thread::sleep_for(1ms);
      return false;
    }, 1);
  });
  std::thread second([&] {
    pool_for_each(50, [&](std::size_t) { second_items.fetch_add(1); return false; }, 2);
    second_done.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!second_done.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(second_done.load());
  EXPECT_EQ(second_items.load(), 50);
  release.store(true);
  first.join();
  second.join();
}

// ---- chunk training, with and without row locks ----

constexpr std::size_t kVocab = 40;
constexpr std::size_t kDim = 12;

// Distinct starting values, so that a lost or doubled update shows.
std::vector<float> start_matrix(std::size_t rows, float scale) {
  std::vector<float> m(rows * kDim);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = scale * static_cast<float>((i * 7) % 23) / 23.0f;
  return m;
}

// A chunk of random sentences (16-bit indices when `narrow`) and its work on fresh shared matrices.
struct ChunkRun {
  SentenceChunk chunk;
  uint64_t tokens = 0;
  HuffmanTree tree;
  AliasTable alias;
  TrainParams params;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> progress{0};
  ChunkWork work;

  ChunkRun(bool sg, bool hs, bool locks, std::size_t sentences, std::size_t max_len, uint32_t seed,
           bool narrow = false)
      : chunk(narrow) {
    std::vector<uint64_t> counts(kVocab);
    for (std::size_t w = 0; w < kVocab; ++w) counts[w] = 1 + (w * 53) % 90;
    tree = build_huffman(counts);
    alias = AliasTable::build(noise_weights(counts));
    std::mt19937 gen(seed);
    for (std::size_t i = 0; i < sentences; ++i) {
      std::vector<uint64_t> s(1 + gen() % max_len);
      for (auto& w : s) w = gen() % kVocab;
      add(s);
    }
    params.window = 3;
    params.sg = sg;
    params.hs = hs;
    params.negative = 4;
    params.levels = {3, 6, 12};
    params.lr = 0.05f;
    work.chunk = &chunk;
    work.params = &params;
    work.tables = {&tree, hs ? nullptr : &alias};
    work.input = SharedMatrix::wrap(start_matrix(kVocab, 0.5f), kDim);
    work.output = SharedMatrix::wrap(start_matrix(output_rows(), 0.25f), kDim);
    work.stop = &stop;
    work.progress = &progress;
    work.row_locks = locks;
  }
  void add(const std::vector<uint64_t>& s) {
    chunk.push_back(s);
    tokens += s.size();
  }
  std::size_t output_rows() const { return params.hs ? 2 * kVocab - 1 : kVocab; }
  // The trained matrices (the work's copies released first).
  std::pair<std::vector<float>, std::vector<float>> take() {
    SharedMatrix in = std::move(work.input), out = std::move(work.output);
    work = ChunkWork();
    return {in.into_array(), out.into_array()};
  }
};

struct Mode {
  bool sg, hs;
};
constexpr Mode kModes[] = {{false, false}, {false, true}, {true, false}, {true, true}};

// Every mode on the pool threads (ThreadSanitizer sees the row locks at work): every token counted,
// finite weights; without locks for a bound of 1 and of the pool.
TEST(ChunkTraining, AllModesCountEveryToken) {
  for (const bool locks : {true, false}) {
    for (const Mode mode : kModes) {
      for (const std::size_t bound : {SIZE_MAX, std::size_t{1}}) {
        SCOPED_TRACE(testing::Message() << "locks " << locks << " sg " << mode.sg << " hs " << mode.hs
                                        << " bound " << bound);
        ChunkRun run(mode.sg, mode.hs, locks, 300, 25, 3 + mode.sg * 2 + mode.hs, mode.sg);
        run.work.max_threads = bound;
        EXPECT_FALSE(train_chunk(run.work));
        EXPECT_EQ(run.progress.load(), run.tokens);
        EXPECT_FALSE(run.stop.load());
        const auto [in, out] = run.take();
        for (const float x : in) ASSERT_TRUE(std::isfinite(x));
        for (const float x : out) ASSERT_TRUE(std::isfinite(x));
      }
    }
  }
}

TEST(ChunkTraining, StopFlagHonoured) {
  for (const bool locks : {true, false}) {
    ChunkRun run(true, false, locks, 20000, 50, 7, true);
    run.stop.store(true);
    // Already set: nothing trains.
    EXPECT_TRUE(train_chunk(run.work));
    EXPECT_EQ(run.progress.load(), 0u);
    EXPECT_EQ(run.work.input.row(1)[0], start_matrix(kVocab, 0.5f)[kDim]);
    // Set while the chunk trains (as soon as the first sentence is counted): the rest is left.
    run.stop.store(false);
    // The chunk starts only once the watcher runs, so that it cannot finish before the watcher is
    // scheduled on a loaded machine.
    std::atomic<bool> watching{false};
    std::thread watcher([&] {
      watching.store(true);
      while (run.progress.load() == 0) std::this_thread::yield();
      run.stop.store(true);
    });
    while (!watching.load()) std::this_thread::yield();
    EXPECT_TRUE(train_chunk(run.work));
    watcher.join();
    EXPECT_GT(run.progress.load(), 0u);
    EXPECT_LT(run.progress.load(), run.tokens) << "locks " << locks;
  }
}

TEST(ChunkTraining, OneSentenceRunsOnTheCallerWithItsProbe) {
  struct RaisingProbe : SignalProbe {
    std::thread::id caller = std::this_thread::get_id();
    int calls = 0;
    bool on_caller = true;
    bool interrupted() override {
      ++calls;
      on_caller = on_caller && std::this_thread::get_id() == caller;
      return true;
    }
  };
  for (const bool locks : {true, false}) {
    RaisingProbe probe;
    ChunkRun run(false, locks, locks, 1, 30, 3);
    run.work.caller_probe = &probe;
    EXPECT_TRUE(train_chunk(run.work));
    EXPECT_TRUE(run.stop.load());  // a reported signal sets the stop flag
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(probe.on_caller);
    EXPECT_EQ(run.progress.load(), 0u);
  }
}

// Under row locks a one-sentence chunk trains in the caller's hot-row copies, which must reach the
// matrices.
TEST(ChunkTraining, LockedOneSentenceKeepsItsHotRowUpdates) {
  for (const Mode mode : kModes) {
    ChunkRun run(mode.sg, mode.hs, true, 1, 30, 5);
    run.chunk = SentenceChunk();
    run.add({1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(train_chunk(run.work));
    EXPECT_NE(run.take().first, start_matrix(kVocab, 0.5f)) << mode.sg << mode.hs;
  }
}

TEST(ChunkTraining, UnlockedOneSentenceGivesTheSequentialValues) {
  // A one-sentence chunk trains on the calling thread with its worker stream: without row locks it
  // must give the sequential routine's values bit for bit, in every mode and both index widths (the
  // multi-worker kernels sum some products in another order, so they would not).
  struct Quiet : SignalProbe {
    bool interrupted() override { return false; }
  } quiet;
  for (const Mode mode : kModes) {
    for (const bool narrow : {false, true}) {
      SCOPED_TRACE(testing::Message() << "sg " << mode.sg << " hs " << mode.hs << " narrow " << narrow);
      ChunkRun run(mode.sg, mode.hs, false, 0, 1, 11, narrow);
      std::vector<uint64_t> s;
      for (std::size_t i = 0; i < 60; ++i) s.push_back((i * 13 + i / 7) % kVocab);
      run.add(s);
      run.work.caller_probe = &quiet;
      std::vector<float> in = start_matrix(kVocab, 0.5f), out = start_matrix(run.output_rows(), 0.25f);
      ChaChaStream expected_stream = worker_stream();  // the stream the chunk will use, copied
      std::atomic<bool> no_stop{false};
      EXPECT_FALSE(train_sentence(s, expected_stream, run.params, run.work.tables, PlainMatrices{in, out, kDim},
                                  no_stop, quiet));
      EXPECT_FALSE(train_chunk(run.work));
      EXPECT_EQ(run.progress.load(), 60u);
      const auto [got_in, got_out] = run.take();
      EXPECT_EQ(got_in, in);
      EXPECT_EQ(got_out, out);
      // The chunk advanced the thread's stream exactly as far as the sequential run did.
      EXPECT_EQ(worker_stream().next_u64(), expected_stream.next_u64());
    }
  }
}

// A chunk on one pool thread with the thread's copies of the hot rows gives the values of the same
// sentences without copies, bit for bit: unlocked with six rows copied against none (copies taken,
// written back periodically and when the thread leaves the chunk); row locked (copies kept across the
// chunk's sentences) against the sentences trained one by one on a stream equal to the pool thread's.
TEST(ChunkTraining, OnePoolThreadGivesTheInPlaceValues) {
  for (const bool locks : {false, true}) {
    for (const Mode mode : kModes) {
      std::vector<float> results[2];
      for (const int copies : {0, 1}) {
        setenv("TARNIVEL_UNLOCKED_HOT_ROWS", copies ? "6" : "0", 1);
        set_seed(77);
        ChunkRun run(mode.sg, mode.hs, locks, 300, 30, 5);  // about 4,500 tokens: several write-backs
        run.work.max_threads = 1;
        if (locks && copies == 0) {
          std::optional<ChaChaStream> stream;
          pool_for_each(1, [&](std::size_t) { stream = worker_stream(); return false; }, 1);
          for (std::size_t i = 0; i < run.chunk.size(); ++i) {
            run.chunk.with_sentence(i, [&](auto sentence) {
              EXPECT_FALSE(train_chunk_sentence(sentence, *stream, run.params, run.work.tables, run.work.input,
                                                run.work.output, run.stop, nullptr));
            });
          }
        } else {
          EXPECT_FALSE(train_chunk(run.work));
        }
        auto [in, out] = run.take();
        in.insert(in.end(), out.begin(), out.end());
        results[copies] = std::move(in);
      }
      unsetenv("TARNIVEL_UNLOCKED_HOT_ROWS");
      EXPECT_EQ(results[0], results[1]) << "locks " << locks << " sg " << mode.sg << " hs " << mode.hs;
    }
  }
}

// Two threads walk the same tree path (the root and one inner node) with centre rows non-zero in
// disjoint components, at a rate (1e-9) where every cross term rounds away: the combined change of each
// node row must be the sum of each thread's change alone, replayed with the same number of calls; one
// lost write-back drops a whole update (2.5e-10 or more) from some component.
TEST(SharedSoftmaxContention, TwoThreadsOnOneTreeLoseNoUpdate) {
  constexpr std::size_t dim = 8, words = 4;
  constexpr uint64_t max_calls = 1'000'000, overlaps = 5'000;
  const HuffmanTree tree = build_huffman(std::vector<uint64_t>{1, 1, 1, 1});
  ASSERT_EQ(tree.path_nodes[3].size(), 2u);
  const std::vector<uint64_t> levels{4, 8};
  const auto run = [&](const std::vector<uint64_t>& centres, std::vector<uint64_t>& calls, bool replay) {
    std::vector<float> in(words * dim, 0.0f);
    for (std::size_t j = 0; j < dim; ++j) in[(j % 2) * dim + j] = 0.5f;  // rows 0 and 1
    SharedMatrix input = SharedMatrix::wrap(std::move(in), dim);
    SharedMatrix output = SharedMatrix::wrap(std::vector<float>((2 * words - 1) * dim, 0.0f), dim);
    std::atomic<uint64_t> finished[2] = {0, 0};
    std::atomic<uint64_t> overlapped{0};
    std::atomic<bool> done{false};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < centres.size(); ++k) {
      threads.emplace_back([&, k] {
        uint64_t i = 0;
        for (; replay ? i < calls[k] : !done.load() && i < max_calls; ++i) {
          // A call overlapped when the other thread finished one of its calls meanwhile.
          const uint64_t other = finished[1 - k].load();
          sg_softmax_levels(input, output, tree, centres[k], 3, levels, 1e-9f);
          finished[k].fetch_add(1);
          if (finished[1 - k].load() != other && overlapped.fetch_add(1) + 1 >= overlaps) done.store(true);
          if (i % 4096 == 0 && std::chrono::steady_clock::now() > deadline) done.store(true);
        }
        if (!replay) calls[k] = i;
      });
    }
    for (auto& t : threads) t.join();
    input = SharedMatrix();
    return output.into_array();
  };
  std::vector<uint64_t> calls(2, 0);
  const std::vector<float> both = run({0, 1}, calls, false);
  std::vector<uint64_t> calls_a{calls[0]}, calls_b{calls[1]};
  const std::vector<float> a = run({0}, calls_a, true), b = run({1}, calls_b, true);
  float largest = 0.0f;
  for (std::size_t i = 0; i < both.size(); ++i) {
    largest = std::max(largest, std::fabs(a[i] + b[i]));
    EXPECT_NEAR(both[i], a[i] + b[i], 5e-11f) << "row " << i / dim << " col " << i % dim;
  }
  EXPECT_GT(largest, 1e-6f);  // the updates are large enough to see
}

}  // namespace
}  // namespace tarnivel
