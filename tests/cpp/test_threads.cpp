// SharedMatrix stripes, the worker pool and chunk training across threads (also run under
// ThreadSanitizer: suite names match *Shared*, *Pool* or *Chunk*).
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "rng/chacha.hpp"
#include "sampling/alias.hpp"
#include "training/hs.hpp"
#include "training/huffman.hpp"
#include "training/pool.hpp"
#include "training/sentence.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {
namespace {

using namespace std::chrono_literals;

// Whether lock_row(second) blocks while this thread holds lock_row(first).
bool blocks_while_held(const SharedMatrix& m, std::size_t first, std::size_t second) {
  std::atomic<bool> acquired{false};
  std::thread other;
  {
    auto guard = m.lock_row(first);
    other = std::thread([&] {
      auto g = m.lock_row(second);
      acquired.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + 200ms;
    while (!acquired.load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  }
  const bool blocked = !acquired.load();
  other.join();
  EXPECT_TRUE(acquired.load());
  return blocked;
}

TEST(SharedMatrix, RowsAndStripes) {
  SharedMatrix m = SharedMatrix::wrap(std::vector<float>(70 * 3, 1.0f), 3);
  EXPECT_EQ(m.rows(), 70u);
  EXPECT_EQ(m.dim(), 3u);
  EXPECT_TRUE(blocks_while_held(m, 5, 69));  // 69 & 63 == 5
  EXPECT_FALSE(blocks_while_held(m, 5, 6));

  m.row(69)[2] = 7.0f;
  EXPECT_EQ(m.row_prefix(69, 3)[2], 7.0f);
  EXPECT_EQ(m.row_prefix(69, 0).size(), 0u);
  EXPECT_THROW(m.row(70), InternalError);
  EXPECT_THROW(m.row_prefix(0, 4), InternalError);
  EXPECT_THROW(m.lock_row(70), InternalError);

}

TEST(SharedMatrix, IntoArrayNeedsTheLastCopy) {
  std::vector<float> data{1, 2, 3, 4, 5, 6};
  const float* storage = data.data();
  SharedMatrix m = SharedMatrix::wrap(std::move(data), 2);
  {
    SharedMatrix copy = m;
    copy.row(2)[1] = 60.0f;  // copies share the data
    EXPECT_THROW(m.into_array(), InternalError);
  }
  std::vector<float> back = m.into_array();
  EXPECT_EQ(back, (std::vector<float>{1, 2, 3, 4, 5, 60}));
  EXPECT_EQ(back.data(), storage);  // moved, not copied
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

TEST(SharedMatrix, ConcurrentIncrementsUnderStripes) {
  // Rows 0..127 over 64 stripes: every pair of rows shares a stripe with another.
  SharedMatrix m = SharedMatrix::wrap(std::vector<float>(128 * 4, 0.0f), 4);
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::size_t r = static_cast<std::size_t>(i * 7 + t) % 128;
        auto guard = m.lock_row(r);
        for (float& x : m.row(r)) x += 1.0f;
      }
    });
  }
  for (auto& t : threads) t.join();
  float total = 0.0f;
  for (std::size_t r = 0; r < 128; ++r) total += m.row(r)[0];
  EXPECT_EQ(total, 4.0f * kRounds);
}

TEST(WorkerPool, EveryItemRunsExactlyOnce) {
  ASSERT_GE(worker_pool_size(), 1u);
  EXPECT_EQ(pool_threads(), worker_pool_size());
  for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 5003u}) {
    std::vector<std::atomic<int>> runs(n);
    const bool stopped = pool_for_each(n, [&](std::size_t i) {
      runs[i].fetch_add(1);
      return false;
    });
    EXPECT_FALSE(stopped);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "n " << n << " i " << i;
  }
}

TEST(WorkerPool, ConcurrentCallersShareThePool) {
  constexpr std::size_t n = 3000;
  std::vector<std::atomic<int>> a(n), b(n);
  auto run = [](std::vector<std::atomic<int>>& runs) {
    for (int round = 0; round < 5; ++round) {
      pool_for_each(runs.size(), [&](std::size_t i) {
        runs[i].fetch_add(1);
        return false;
      });
    }
  };
  std::thread other([&] { run(b); });
  run(a);
  other.join();
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(a[i].load(), 5);
    ASSERT_EQ(b[i].load(), 5);
  }
}

TEST(WorkerPool, StopPreventsFurtherItems) {
  // Every item asks to stop: each pool thread can have at most one item under way when the first
  // stop is seen, and none starts afterwards.
  std::atomic<std::size_t> started{0};
  const bool stopped = pool_for_each(100000, [&](std::size_t) {
    started.fetch_add(1);
    return true;
  });
  EXPECT_TRUE(stopped);
  EXPECT_GE(started.load(), 1u);
  EXPECT_LE(started.load(), worker_pool_size());
}

TEST(WorkerPool, ExceptionReachesTheCallerAfterRunningItemsEnd) {
  std::atomic<std::size_t> started{0};
  EXPECT_THROW(pool_for_each(100000,
                             [&](std::size_t i) -> bool {
                               started.fetch_add(1);
                               if (i == 10) internal_error("item failed");
                               return false;
                             }),
               InternalError);
  EXPECT_LT(started.load(), 100000u);
  // The pool keeps working.
  std::atomic<std::size_t> count{0};
  pool_for_each(50, [&](std::size_t) {
    count.fetch_add(1);
    return false;
  });
  EXPECT_EQ(count.load(), 50u);
}

// ---- chunk training ----

constexpr std::size_t kVocab = 50;
constexpr std::size_t kDim = 16;

struct ChunkSetup {
  SentenceChunk chunk;
  uint64_t tokens = 0;
  HuffmanTree tree;
  AliasTable alias;
  TrainParams params;

  // Skip-gram setups carry 16-bit indices, CBOW setups 32-bit ones.
  ChunkSetup(bool sg, bool hs, std::size_t sentences, std::size_t max_len, uint32_t seed)
      : chunk(sg) {
    std::mt19937 gen(seed);
    std::vector<uint64_t> counts(kVocab);
    for (std::size_t w = 0; w < kVocab; ++w) counts[w] = 1 + (w * 37) % 100;
    tree = build_huffman(counts);
    alias = AliasTable::build(noise_weights(counts));
    std::vector<uint64_t> s;
    for (std::size_t i = 0; i < sentences; ++i) {
      s.resize(1 + gen() % max_len);
      for (auto& w : s) w = gen() % kVocab;
      chunk.push_back(s);
      tokens += s.size();
    }
    params.window = 4;
    params.sg = sg;
    params.hs = hs;
    params.negative = 3;
    params.levels = {4, 8, 16};
    params.lr = 0.05f;
  }

  static std::vector<float> matrix(std::size_t rows, float value) {
    return std::vector<float>(rows * kDim, value);
  }
};

// A chunk's work on fresh shared matrices (input rows 0.1, output rows 0.05).
struct ChunkRun {
  ChunkSetup setup;
  SharedMatrix input = SharedMatrix::wrap(ChunkSetup::matrix(kVocab, 0.1f), kDim);
  SharedMatrix output;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> progress{0};
  ChunkWork work;
  ChunkRun(bool sg, bool hs, std::size_t sentences, std::size_t max_len, uint32_t seed)
      : setup(sg, hs, sentences, max_len, seed),
        output(SharedMatrix::wrap(ChunkSetup::matrix(hs ? 2 * kVocab - 1 : kVocab, 0.05f), kDim)) {
    work.chunk = &setup.chunk;
    work.params = &setup.params;
    work.tables = {&setup.tree, hs ? nullptr : &setup.alias};
    work.input = input;
    work.output = output;
    work.stop = &stop;
    work.progress = &progress;
  }
};

// Every mode on the pool threads (ThreadSanitizer sees the row locks at work): every token counted.
TEST(ChunkTraining, AllModesCountEveryToken) {
  for (const bool sg : {false, true}) {
    for (const bool hs : {false, true}) {
      ChunkRun run(sg, hs, 300, 30, sg * 2 + hs);
      EXPECT_FALSE(train_chunk(run.work));
      EXPECT_EQ(run.progress.load(), run.setup.tokens) << "sg " << sg << " hs " << hs;
      EXPECT_FALSE(run.stop.load());
    }
  }
}

TEST(ChunkTraining, StopFlagHonoured) {
  ChunkRun run(true, false, 4000, 60, 7);
  run.stop.store(true);
  // Already set: nothing trains.
  EXPECT_TRUE(train_chunk(run.work));
  EXPECT_EQ(run.progress.load(), 0u);
  EXPECT_EQ(run.input.row(0)[0], 0.1f);

  // Set while the chunk trains (as soon as the first sentence is counted): the rest is left.
  run.stop.store(false);
  std::thread watcher([&] {
    while (run.progress.load() == 0) std::this_thread::yield();
    run.stop.store(true);
  });
  EXPECT_TRUE(train_chunk(run.work));
  watcher.join();
  EXPECT_GT(run.progress.load(), 0u);
  EXPECT_LT(run.progress.load(), run.setup.tokens);
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
  } probe;
  ChunkRun run(false, false, 1, 30, 3);
  run.work.caller_probe = &probe;
  EXPECT_TRUE(train_chunk(run.work));
  EXPECT_TRUE(run.stop.load());  // a reported signal sets the stop flag
  EXPECT_EQ(probe.calls, 1);
  EXPECT_TRUE(probe.on_caller);
  EXPECT_EQ(run.progress.load(), 0u);
}

// Two threads walk the same tree path (the root and one inner node) with different centre rows.
// Centre 0 is non-zero only in the even components and centre 1 only in the odd ones, so each
// thread's node updates land in components the other thread never changes. The only coupling runs
// through the error a thread adds to its own centre row (the node rows also hold the other thread's
// values); at a rate of 1e-9 every such cross term is far below half a float step of the value it
// meets and rounds away. So the combined change of every node row is the sum of each thread's change
// alone; the tolerance of 5e-11 allows a few float steps at these magnitudes (below 1e-3), while one
// lost write-back drops at least one whole update (2.5e-10 or more) from some component.
// The threads run together until 5000 of their calls overlapped a call of the other (longer on a
// busy machine); the calls each made are then replayed alone.
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
