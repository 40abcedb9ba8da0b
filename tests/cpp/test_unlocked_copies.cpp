// The thread-private copies of the hottest rows used by threaded training: a thread alone must get
// exactly the values of updating the rows in place, and a write-back must keep what other threads
// wrote to a row meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "rng/seed.hpp"
#include "sampling/alias.hpp"
#include "training/huffman.hpp"
#include "training/pool.hpp"
#include "training/row_copies.hpp"
#include "training/chunk.hpp"
#include "training/sentence.hpp"

namespace tarnivel {
namespace {

TEST(HotRowCopies, WriteBackKeepsOtherThreadsUpdates) {
  std::vector<float> m = {1, 2, 3, 4, 5, 6, 7, 8};  // 4 rows of 2
  HotRowCopies copies;
  copies.cover(m, 2, 1, 2);  // rows 1 and 2
  EXPECT_EQ(copies.row(0), m.data());
  EXPECT_EQ(copies.row(3), m.data() + 6);
  float* r1 = copies.row(1);
  ASSERT_NE(r1, m.data() + 2);
  EXPECT_EQ(copies.row(1), r1);  // the same copy until written back
  r1[0] += 0.5f;                 // this thread: row 1 = {3.5, 4}
  copies.row(2)[1] = 10.0f;      // this thread: row 2 = {5, 10}
  m[2] = 100.0f;                 // another thread meanwhile: row 1 = {100, 4}
  copies.write_back();
  EXPECT_EQ(m, (std::vector<float>{1, 2, 100.5f, 4, 5, 10, 7, 8}));
  EXPECT_EQ(copies.row(1)[0], 100.5f);  // copied again after a write-back
}

TEST(PoolLeave, EveryThreadThatJoinedLeavesBeforeTheLoopReturns) {
  std::mutex mu;
  std::set<std::thread::id> ran, left;
  bool item_after_leave = false;
  const std::function<void()> leave = [&] {
    std::lock_guard<std::mutex> lock(mu);
    left.insert(std::this_thread::get_id());
  };
  pool_for_each(
      2000,
      [&](std::size_t) {
        std::lock_guard<std::mutex> lock(mu);
        ran.insert(std::this_thread::get_id());
        item_after_leave = item_after_leave || left.count(std::this_thread::get_id()) != 0;
        return false;
      },
      SIZE_MAX, &leave);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_FALSE(item_after_leave);
  for (const auto& id : ran) EXPECT_EQ(left.count(id), 1u);
}

// A many-sentence chunk trained without row locks by one pool thread (the same thread, from the
// same seed, in both runs) gives the same bits with and without the row copies, in every mode:
// copies taken, updated, and written back across sentences and when the thread leaves the chunk.
// A chunk on one pool thread, with the thread's copies of the hot rows, gives the values of the
// same sentences without copies, bit for bit: unlocked with copies against unlocked without; row
// locked (the thread keeps its copies across the chunk's sentences) against the sentences trained
// one by one (softmax with a scope each, negative sampling without copies), on a stream equal to
// the pool thread's.
TEST(ChunkCopies, OneThreadGivesTheInPlaceValues) {
  constexpr std::size_t kVocab = 40, kDim = 12;
  std::vector<uint64_t> counts(kVocab);
  for (std::size_t w = 0; w < kVocab; ++w) counts[w] = 1 + 400 / (w + 1);
  const HuffmanTree tree = build_huffman(counts);
  const AliasTable alias = AliasTable::build(noise_weights(counts));
  SentenceChunk chunk;
  std::mt19937 gen(5);
  std::discrete_distribution<uint64_t> pick(counts.begin(), counts.end());
  for (std::size_t i = 0; i < 300; ++i) {  // about 4,500 tokens: several periodic write-backs
    std::vector<uint64_t> s(1 + gen() % 30);
    for (auto& w : s) w = pick(gen);
    chunk.push_back(s);
  }
  for (const bool locks : {false, true}) {
    for (const int mode : {0, 1, 2, 3}) {
      TrainParams params;
      params.sg = mode & 1;
      params.hs = (mode & 2) != 0;
      params.window = 4;
      params.negative = 3;
      params.levels = {3, 6, 12};
      params.lr = 0.05f;
      std::vector<float> results[2];
      for (const int copies : {0, 1}) {  // unlocked: 6 rows copied, the rest updated in place
        setenv("TARNIVEL_UNLOCKED_HOT_ROWS", copies ? "6" : "0", 1);
        set_seed(77);
        std::vector<float> in(kVocab * kDim), out((params.hs ? 2 * kVocab - 1 : kVocab) * kDim);
        for (std::size_t j = 0; j < in.size(); ++j) in[j] = 0.01f * static_cast<float>(j % 17) - 0.08f;
        for (std::size_t j = 0; j < out.size(); ++j) out[j] = 0.02f * static_cast<float>(j % 11) - 0.1f;
        std::atomic<bool> stop{false};
        ChunkWork work;
        work.chunk = &chunk;
        work.params = &params;
        work.tables = {&tree, params.hs ? nullptr : &alias};
        work.input = SharedMatrix::wrap(std::move(in), kDim);
        work.output = SharedMatrix::wrap(std::move(out), kDim);
        work.stop = &stop;
        work.max_threads = 1;
        work.row_locks = locks;
        if (locks && copies == 0) {
          std::optional<ChaChaStream> stream;
          pool_for_each(1, [&](std::size_t) { stream = worker_stream(); return false; }, 1);
          for (std::size_t i = 0; i < chunk.size(); ++i) {
            chunk.with_sentence(i, [&](auto sentence) {
              EXPECT_FALSE(train_chunk_sentence(sentence, *stream, params, work.tables, work.input,
                                                work.output, stop, nullptr));
            });
          }
        } else {
          EXPECT_FALSE(train_chunk(work));
        }
        SharedMatrix a = std::move(work.input), b = std::move(work.output);
        results[copies] = a.into_array();
        const std::vector<float> o = b.into_array();
        results[copies].insert(results[copies].end(), o.begin(), o.end());
      }
      unsetenv("TARNIVEL_UNLOCKED_HOT_ROWS");
      ASSERT_EQ(results[0].size(), results[1].size());
      EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), results[0].size() * sizeof(float)), 0)
          << "locks " << locks << " sg " << params.sg << " hs " << params.hs;
    }
  }
}

}  // namespace
}  // namespace tarnivel
