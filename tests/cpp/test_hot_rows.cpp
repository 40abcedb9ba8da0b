// The thread's copies of the hottest rows: HotRowCopies (unlocked training) and HotRowScope (the tree's
// top nodes and the frequent words' rows under row locks). Alone on the matrices they change nothing in
// the results; another thread's updates meanwhile are kept by the write-back.
// Suite names match *Shared*, so these also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "training/hs.hpp"
#include "training/huffman.hpp"
#include "training/row_copies.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {
namespace {

constexpr std::size_t kDim = 12;
// 300 words: 599 output rows, of which the top 255 are copied and the inner nodes below them are not;
// the input rows of words 0..254 are copied, those of 255..299 not (CBOW contexts mix both in one
// stripe: a and a + 64).
constexpr std::size_t kWords = 300;

std::vector<float> filled(std::size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

struct TreeSetup {
  HuffmanTree tree;
  std::vector<float> in0 = filled(kWords * kDim, 1);
  std::vector<float> out0 = filled((2 * kWords - 1) * kDim, 2);
  TreeSetup() {
    std::vector<uint64_t> counts(kWords);
    for (std::size_t w = 0; w < kWords; ++w) counts[w] = 1 + (w * 7919) % 1000;
    tree = build_huffman(counts);
  }
};

// Example e of a fixed sequence: skip-gram pairs or CBOW windows over all widths.
void example(const TreeSetup& s, const SharedMatrix& in, const SharedMatrix& out, bool sg, int e) {
  const std::vector<uint64_t> levels{3, 6, 12};
  const uint64_t a = static_cast<uint64_t>(e * 37) % kWords;
  const uint64_t b = static_cast<uint64_t>(e * 101 + 5) % kWords;
  if (sg) {
    sg_softmax_levels(in, out, s.tree, a, b, levels, 0.05f);
  } else {
    const std::vector<uint64_t> context{a, (a + 64) % kWords, (b + 1) % kWords};
    cbow_softmax_levels(in, out, s.tree, context, b, levels, 0.05f, e % 2 == 0);
  }
}

TEST(SharedHotRows, UnlockedWriteBackKeepsOtherThreadsUpdates) {
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

TEST(SharedHotRows, AloneTheCopiesChangeNoBit) {
  // 2,500 examples: a write-back inside the first scope (every 1024 examples), and a second scope
  // on the same matrices afterwards.
  const TreeSetup s;
  for (const bool sg : {true, false}) {
    SharedMatrix direct_in = SharedMatrix::wrap(std::vector<float>(s.in0), kDim);
    SharedMatrix direct_out = SharedMatrix::wrap(std::vector<float>(s.out0), kDim);
    SharedMatrix scoped_in = SharedMatrix::wrap(std::vector<float>(s.in0), kDim);
    SharedMatrix scoped_out = SharedMatrix::wrap(std::vector<float>(s.out0), kDim);
    for (int e = 0; e < 2500; ++e) example(s, direct_in, direct_out, sg, e);
    {
      HotRowScope scope(scoped_in, scoped_out, std::vector<uint64_t>{3, 6, 12});
      for (int e = 0; e < 1500; ++e) example(s, scoped_in, scoped_out, sg, e);
      scope.close();
    }
    {
      HotRowScope scope(scoped_in, scoped_out, std::vector<uint64_t>{3, 6, 12});
      for (int e = 1500; e < 2500; ++e) example(s, scoped_in, scoped_out, sg, e);
      scope.close();
    }
    EXPECT_EQ(direct_in.into_array(), scoped_in.into_array()) << "sg " << sg;
    EXPECT_EQ(direct_out.into_array(), scoped_out.into_array()) << "sg " << sg;
  }
}

TEST(SharedHotRows, AnotherThreadsUpdateMeanwhileIsKept) {
  // While this thread's scope holds its copies of the root and of word 0's input row (the centre
  // of example 0), another thread adds 1 to both rows: after the write-back they hold both changes
  // (up to rounding), and every other row exactly what this thread alone would have written.
  const TreeSetup s;
  const uint64_t root = 2 * kWords - 2;
  SharedMatrix alone_in = SharedMatrix::wrap(std::vector<float>(s.in0), kDim);
  SharedMatrix alone_out = SharedMatrix::wrap(std::vector<float>(s.out0), kDim);
  for (int e = 0; e < 20; ++e) example(s, alone_in, alone_out, true, e);
  SharedMatrix in = SharedMatrix::wrap(std::vector<float>(s.in0), kDim);
  SharedMatrix out = SharedMatrix::wrap(std::vector<float>(s.out0), kDim);
  {
    HotRowScope scope(in, out, std::vector<uint64_t>{3, 6, 12});
    for (int e = 0; e < 20; ++e) example(s, in, out, true, e);
    std::thread other([&] {
      for (auto [m, row] : {std::pair{&out, root}, std::pair{&in, uint64_t{0}}}) {
        auto guard = m->lock_row(row);
        for (float& x : m->row(row)) x += 1.0f;
      }
    });
    other.join();
    scope.close();
  }
  const struct {
    std::vector<float> got, alone, start;
    uint64_t touched;
  } matrices[] = {{out.into_array(), alone_out.into_array(), s.out0, root}, {in.into_array(), alone_in.into_array(), s.in0, 0}};
  for (const auto& m : matrices) {
    for (std::size_t i = 0; i < m.got.size(); ++i) {
      if (i / kDim == m.touched) {
        EXPECT_NEAR(m.got[i], m.alone[i] + 1.0f, 1e-5f) << "row " << m.touched << " element " << i % kDim;
        EXPECT_NE(m.alone[i], m.start[i]);  // this thread did change the row
      } else {
        ASSERT_EQ(m.got[i], m.alone[i]) << "row " << i / kDim;
      }
    }
  }
}

}  // namespace
}  // namespace tarnivel
