// Finding non-finite weights (the layouts and vectors the core refuses are checked from Python, in
// test_files and test_reliability).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "weights/finite.hpp"

namespace tarnivel {
namespace {

TEST(NonFinite, FindsTheFirstNanOrInfinity) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float big = std::numeric_limits<float>::max();
  const float tiny = std::numeric_limits<float>::denorm_min();
  std::vector<float> v(5000, 0.5f);
  EXPECT_EQ(first_non_finite({}), 0u);
  EXPECT_EQ(first_non_finite(v), v.size());
  v[0] = big, v[1] = -big, v[2] = tiny, v[3] = -0.0f;
  EXPECT_EQ(first_non_finite(v), v.size());
  v[4999] = inf;
  EXPECT_EQ(first_non_finite(v), 4999u);
  v[2100] = -inf;  // in the second block
  EXPECT_EQ(first_non_finite(v), 2100u);
  v[7] = nan;
  EXPECT_EQ(first_non_finite(v), 7u);
  v[0] = -nan;
  EXPECT_EQ(first_non_finite(v), 0u);
}

}  // namespace
}  // namespace tarnivel
