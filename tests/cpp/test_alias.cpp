#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "rng/chacha.hpp"
#include "sampling/alias.hpp"

namespace tarnivel {
namespace {

AliasTable table_for(const std::vector<uint64_t>& counts) {
  const std::vector<double> w = noise_weights(counts);
  return AliasTable::build(w);
}

TEST(AliasTable, SmallTablesFromTheirCounts) {
  // One word: it lands on the large stack and is never paired.
  const AliasTable one = table_for({3});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one.prob[0], 1.0f);
  EXPECT_EQ(one.alias[0], 0u);
  ChaChaStream s = ChaChaStream::from_seed(1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(one.sample(s), 0u);

  // Equal counts: both scaled to exactly 1.0, both on the large stack, nothing paired.
  const AliasTable two = table_for({1, 1});
  EXPECT_EQ(two.prob, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(two.alias, (std::vector<uint64_t>{0, 0}));

  // Counts 1 and 15: index 0 is paired with 1; index 1 keeps its reduced value.
  const double p1 = std::pow(15.0, 0.75);
  const double total = (-0.0 + 1.0) + p1;
  const double scaled0 = (1.0 / total) * 2.0;
  const double scaled1 = ((p1 / total) * 2.0 + scaled0) + (-1.0);
  const AliasTable skew = table_for({1, 15});
  EXPECT_EQ(skew.alias, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(skew.prob[0], static_cast<float>(scaled0));
  EXPECT_EQ(skew.prob[1], static_cast<float>(scaled1));
  EXPECT_NEAR(skew.prob[0], 0.2320, 1e-3);
}

TEST(AliasTable, NoiseWeightsZeroTotalStaysUnnormalised) {
  EXPECT_EQ(noise_weights(std::vector<uint64_t>{0, 0}), (std::vector<double>{0.0, 0.0}));
  // Built as they are: everything on the small stack, nothing paired.
  const AliasTable t = table_for({0, 0});
  EXPECT_EQ(t.prob, (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(t.alias, (std::vector<uint64_t>{0, 0}));
}

TEST(AliasTable, EmptyTableSamplesZeroWithoutDrawing) {
  const AliasTable empty = table_for({});
  EXPECT_TRUE(empty.empty());
  ChaChaStream s = ChaChaStream::from_seed(3);
  ChaChaStream before = s;
  EXPECT_EQ(empty.sample(s), 0u);
  EXPECT_EQ(s.index(), before.index());
  EXPECT_EQ(s.counter(), before.counter());
}

TEST(AliasTable, SampleFrequenciesFollowTheNoiseDistribution) {
  // Expected frequencies: counts to the power 0.75, normalised (computed here, not by the table code).
  const std::vector<uint64_t> counts{1, 5, 20, 100, 3};
  std::vector<double> want;
  double total = 0;
  for (const uint64_t c : counts) total += std::pow(static_cast<double>(c), 0.75);
  for (const uint64_t c : counts) want.push_back(std::pow(static_cast<double>(c), 0.75) / total);
  const AliasTable t = table_for(counts);
  ChaChaStream s = ChaChaStream::from_seed(99);
  constexpr int kDraws = 400000;
  std::vector<int> hits(counts.size(), 0);
  for (int i = 0; i < kDraws; ++i) ++hits[t.sample(s)];
  for (std::size_t i = 0; i < counts.size(); ++i) {
    EXPECT_NEAR(static_cast<double>(hits[i]) / kDraws, want[i], 0.005) << "index " << i;
  }
}

}  // namespace
}  // namespace tarnivel
