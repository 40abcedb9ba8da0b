// The thread's row copies when allocating their buffers fails: the failure propagates and leaves
// nothing open or half covered behind, so the thread's next scope (another model, or the same one
// again) opens and runs normally. Every allocation of the opening is made to fail in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "rng/chacha.hpp"
#include "training/hs.hpp"
#include "training/huffman.hpp"
#include "training/ns.hpp"
#include "training/row_copies.hpp"
#include "weights/shared_matrix.hpp"

// core_tests is linked with --wrap=_Znwm: every `operator new(std::size_t)` of the core and the
// tests comes here first. Unarmed (the default) it only passes the call on.
namespace {
thread_local bool counting = false;
thread_local long allocations = 0;  // counted while `counting`
thread_local long fail_at = 0;      // when > 0: the allocation number that throws
thread_local std::size_t largest = 0;  // the largest allocation while `counting`
}  // namespace

extern "C" void* __real__Znwm(std::size_t n);
extern "C" void* __wrap__Znwm(std::size_t n) {
  if (counting) {
    ++allocations;
    largest = std::max(largest, n);
  }
  if (fail_at > 0 && --fail_at == 0) throw std::bad_alloc();
  return __real__Znwm(n);
}

namespace tarnivel {
namespace {

using Objective = HotRowScope::Objective;

constexpr std::size_t kWords = 20, kDim = 8;

// Input rows for kWords words, output rows for the tree's inner nodes (enough for both objectives).
struct Matrices {
  SharedMatrix in, out;
  explicit Matrices(float fill)
      : in(SharedMatrix::wrap(std::vector<float>(kWords * kDim, fill), kDim)),
        out(SharedMatrix::wrap(std::vector<float>((2 * kWords - 1) * kDim, 0.5f * fill), kDim)) {}
};

// One example on frequent words (copied rows when a scope is open on the thread).
void example(Objective objective, const HuffmanTree& tree, const Matrices& m) {
  const std::vector<uint64_t> levels{4, 8};
  if (objective == Objective::kSoftmax) {
    sg_softmax_levels(m.in, m.out, tree, 0, 1, levels, 0.05f);
  } else {
    auto stream = ChaChaStream::from_seed(9);
    sg_negative_step(m.in, m.out, 0, 1, 0, levels, 0.05f, nullptr, stream);
  }
}

// What happened on a fresh thread (empty thread-local buffers): opening a scope with allocation
// number `fail` failing (0: none), then a second scope on other matrices that trains one example.
struct Outcome {
  long allocations = 0;
  bool first_failed = false;
  std::string second_error;
  std::vector<float> second_in, second_out;
};

Outcome open_twice(Objective objective, const HuffmanTree& tree, long fail) {
  Outcome o;
  std::thread([&] {
    const std::vector<uint64_t> levels{4, 8};
    {
      Matrices a(0.1f);
      counting = true;
      fail_at = fail;
      try {
        HotRowScope scope(a.in, a.out, levels, objective);
        counting = false;
        scope.close();
      } catch (const std::bad_alloc&) {
        o.first_failed = true;
      }
      counting = false;
      fail_at = 0;
      o.allocations = allocations;
    }
    Matrices b(0.2f);
    try {
      HotRowScope scope(b.in, b.out, levels, objective);
      example(objective, tree, b);
      scope.close();
    } catch (const std::exception& e) {
      o.second_error = e.what();
    }
    o.second_in = b.in.into_array();
    o.second_out = b.out.into_array();
  }).join();
  return o;
}

TEST(CopyFailures, ALockedScopeThatFailsToOpenLeavesNothingOpen) {
  std::vector<uint64_t> counts(kWords);
  for (std::size_t w = 0; w < kWords; ++w) counts[w] = 100 - w;
  const HuffmanTree tree = build_huffman(counts);
  for (const Objective objective : {Objective::kSoftmax, Objective::kNegativeSampling}) {
    // The example without any copies: what the second scope must give.
    Matrices plain(0.2f);
    example(objective, tree, plain);
    const std::vector<float> want_in = plain.in.into_array(), want_out = plain.out.into_array();
    const long total = open_twice(objective, tree, 0).allocations;
    ASSERT_GE(total, 2) << "the scope allocates its copies on a fresh thread";
    for (long fail = 1; fail <= total; ++fail) {
      const Outcome o = open_twice(objective, tree, fail);
      EXPECT_TRUE(o.first_failed) << "allocation " << fail;
      EXPECT_EQ(o.second_error, "") << "allocation " << fail << " of " << total;
      EXPECT_EQ(o.second_in, want_in) << "allocation " << fail;
      EXPECT_EQ(o.second_out, want_out) << "allocation " << fail;
    }
  }
}

TEST(CopyFailures, UnlockedCopiesThatFailToCoverCoverNothing) {
  constexpr std::size_t kRows = 64, kDim = 4, kCovered = 48;
  long total = 0;
  for (long fail = 0; fail == 0 || fail <= total; ++fail) {
    std::vector<float> m(kRows * kDim, 1.0f);
    HotRowCopies copies;
    copies.cover(m, kDim, 0, 2);  // small buffers first
    copies.write_back();
    allocations = 0;
    counting = true;
    fail_at = fail;
    bool failed = false;
    try {
      copies.cover(m, kDim, 0, kCovered);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    counting = false;
    fail_at = 0;
    if (fail == 0) {
      total = allocations;
      ASSERT_GE(total, 2);
      continue;
    }
    EXPECT_TRUE(failed) << "allocation " << fail;
    // The same range again (training the same model once more), used and handed back.
    copies.cover(m, kDim, 0, kCovered);
    for (uint64_t r = 0; r < kRows; ++r) copies.row(r)[0] += 1.0f;
    copies.write_back();
    for (std::size_t r = 0; r < kRows; ++r) {
      EXPECT_EQ(m[r * kDim], 2.0f) << "row " << r << ", allocation " << fail;
      EXPECT_EQ(m[r * kDim + 1], 1.0f) << "row " << r << ", allocation " << fail;
    }
  }
}

TEST(CopyFailures, RowsOfAbsurdWidthAreNotCopied) {
  // The copies' buffers stay with the thread, so a row of 600,000 components (4.8 MB as copy and
  // start) is not copied at all: opening the scope allocates no large buffer, and an example trained
  // in it gives the bits of training without copies.
  constexpr std::size_t kWide = 600'000;
  std::vector<uint64_t> counts{5, 3, 2};
  const HuffmanTree tree = build_huffman(counts);
  const std::vector<uint64_t> levels{kWide};
  for (const Objective objective : {Objective::kSoftmax, Objective::kNegativeSampling}) {
    std::vector<float> want_in, want_out, got_in, got_out;
    for (const bool scoped : {false, true}) {
      SharedMatrix in = SharedMatrix::wrap(std::vector<float>(3 * kWide, 0.01f), kWide);
      SharedMatrix out = SharedMatrix::wrap(std::vector<float>(5 * kWide, 0.02f), kWide);
      std::thread([&] {
        const auto train = [&] {
          if (objective == Objective::kSoftmax) {
            sg_softmax_levels(in, out, tree, 0, 1, levels, 0.05f);
          } else {
            auto stream = ChaChaStream::from_seed(9);
            sg_negative_step(in, out, 0, 1, 0, levels, 0.05f, nullptr, stream);
          }
        };
        if (!scoped) return train();
        largest = 0;
        counting = true;
        HotRowScope scope(in, out, levels, objective);
        counting = false;
        EXPECT_LT(largest, std::size_t{1} << 20);
        train();
        scope.close();
      }).join();
      (scoped ? got_in : want_in) = in.into_array();
      (scoped ? got_out : want_out) = out.into_array();
    }
    EXPECT_EQ(got_in, want_in);
    EXPECT_EQ(got_out, want_out);
  }
}

}  // namespace
}  // namespace tarnivel
