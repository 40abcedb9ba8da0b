#include <gtest/gtest.h>

#include <vector>

#include "training/subsample.hpp"

namespace tarnivel {
namespace {

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

}  // namespace
}  // namespace tarnivel
