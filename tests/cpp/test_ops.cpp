// The vector primitives: fixed float order and rounding, old values, prefix checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/error.hpp"
#include "ops/fast_ops.hpp"
#include "ops/vector_ops.hpp"
#include "training/ns.hpp"

namespace tarnivel {
namespace {

TEST(VectorOps, DotSumsLeftToRightInOneFloatAccumulator) {
  const std::vector<float> a{1e8f, 1.0f, -1e8f};
  const std::vector<float> ones{1.0f, 1.0f, 1.0f};
  EXPECT_EQ(dot(a, ones, 3), 0.0f);  // 1e8 + 1 rounds to 1e8 before -1e8 is added
  EXPECT_EQ(dot(std::span<const float>(), std::span<const float>(), 0), 0.0f);

  // Longer than one vector of four lanes: still the plain sequential float loop, on products of
  // mixed magnitudes whose sums round differently in any other order.
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (std::size_t n = 0; n <= 40; ++n) {
    std::vector<float> x(n), y(n);
    for (std::size_t j = 0; j < n; ++j) {
      x[j] = std::ldexp(mantissa(gen), exponent(gen));
      y[j] = mantissa(gen);
    }
    float expected = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
      volatile float p = x[j] * y[j];  // rounded product, then a rounded add
      expected = expected + p;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(dot(x, y, n)), std::bit_cast<uint32_t>(expected)) << n;
  }
}

TEST(VectorOps, ElementUpdatesTouchOnlyThePrefixAndUseOldValues) {
  std::vector<float> dst{1.0f, 2.0f, 3.0f}, src{10.0f, 20.0f, 30.0f};
  add_into(dst, src, 2);
  EXPECT_EQ(dst, (std::vector<float>{11.0f, 22.0f, 3.0f}));
  divide_by(dst, 2, 2.0f);
  EXPECT_EQ(dst, (std::vector<float>{5.5f, 11.0f, 3.0f}));
  add_divided(dst, src, 2, 4.0f);
  EXPECT_EQ(dst, (std::vector<float>{8.0f, 16.0f, 3.0f}));
  // pair_update: each side gains g * the other's old value.
  std::vector<float> a{1.0f}, b{2.0f};
  pair_update(a, b, 1, 0.5f);
  EXPECT_EQ(a[0], 2.0f);  // 1 + 0.5 * 2
  EXPECT_EQ(b[0], 2.5f);  // 2 + 0.5 * 1 (old a)
  // err gains g * the old output value, then the output gains g * in.
  std::vector<float> err{1.0f, 0.0f}, out{4.0f, -2.0f}, in{8.0f, 6.0f};
  accumulate_error(err, out, in, 2, 0.25f);
  EXPECT_EQ(err, (std::vector<float>{2.0f, -0.5f}));
  EXPECT_EQ(out, (std::vector<float>{6.0f, -0.5f}));
  EXPECT_EQ(in, (std::vector<float>{8.0f, 6.0f}));
  EXPECT_EQ(mean_divisor(0), 1.0f);
  EXPECT_EQ(mean_divisor(7), 7.0f);
  // A prefix longer than a vector is an internal error, with nothing written before the check.
  std::vector<float> x(3, 1.0f), y(4, 1.0f), z(4, 1.0f);
  EXPECT_THROW(dot(y, x, 4), InternalError);
  EXPECT_THROW(divide_by(x, 4, 2.0f), InternalError);
  EXPECT_THROW(pair_update(y, x, 4, 1.0f), InternalError);
  EXPECT_THROW(accumulate_error(y, z, x, 4, 1.0f), InternalError);
  EXPECT_EQ(y, std::vector<float>(4, 1.0f));
}

TEST(VectorOps, LogisticGradient) {
  EXPECT_EQ(logistic_gradient(0.0f, 1.0f, 0.025f), 0.0125f);
  // Saturation: expf(-200) is 0 and expf(200) is infinity, both continue normally.
  EXPECT_EQ(logistic_gradient(200.0f, 1.0f, 0.025f), 0.0f);
  EXPECT_EQ(logistic_gradient(-200.0f, 0.0f, 0.025f), 0.0f);
  EXPECT_EQ(logistic_gradient(-200.0f, 1.0f, 0.5f), 0.5f);
  EXPECT_EQ(logistic_gradient(200.0f, 0.0f, 0.5f), -0.5f);
  EXPECT_TRUE(std::isnan(logistic_gradient(std::numeric_limits<float>::quiet_NaN(), 1.0f, 0.1f)));
  // Each step rounded to float: lr * (label - 1 / (expf(-x) + 1)).
  const float x = 0.3f;
  const float e = expf(-x);
  const float s = 1.0f / (e + 1.0f);
  const float want = 0.05f * (0.0f - s);
  EXPECT_EQ(std::bit_cast<uint32_t>(logistic_gradient(x, 0.0f, 0.05f)),
            std::bit_cast<uint32_t>(want));
}

// The AVX2 build of the element-wise operations against the baseline build: the same bits for every
// length around the vector widths, on values of mixed sign and magnitude (subnormal to 1e30).
TEST(VectorOps, BothBuildsGiveTheSameBits) {
  if (!wide_vectors_available()) GTEST_SKIP() << "the processor has no AVX2";
  std::mt19937 gen(11);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-140, 100);
  auto values = [&](std::size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = std::ldexp(mantissa(gen), exponent(gen) % 2 == 0 ? exponent(gen) / 4 : exponent(gen));
    return v;
  };
  // Every operation on fresh copies of the same inputs; returns everything it wrote.
  auto run = [&](std::size_t n, const std::vector<std::vector<float>>& in, float g, bool wide) {
    const bool before = use_wide_vectors(wide);
    std::vector<std::vector<float>> v = in;
    add_into(v[0], v[1], n);
    divide_by(v[2], n, g == 0.0f ? 3.0f : g);
    add_divided(v[3], v[1], n, 7.0f);
    pair_update(v[4], v[5], n, g);
    accumulate_error(v[6], v[7], v[1], n, g);
    float* rows[3] = {v[8].data(), v[9].data(), v[10].data()};
    const float gs[3] = {g, -g, 0.5f};
    accumulate_error_many(v[11].data(), rows, gs, 3, v[1].data(), n);
    const float* srcs[2] = {v[2].data(), v[3].data()};
    add_scaled_many(v[12].data(), srcs, gs, 2, n);
    add_scaled(v[13].data(), v[4].data(), n, g);
    copy_floats(v[14].data(), v[5].data(), n);
    use_wide_vectors(before);
    return v;
  };
  for (const std::size_t n : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 33, 100, 101}) {
    std::vector<std::vector<float>> in;
    for (int i = 0; i < 15; ++i) in.push_back(values(n));
    for (const float g : {0.0f, 0.025f, -3.5f, 1e-20f}) {
      const auto narrow = run(n, in, g, false), wide = run(n, in, g, true);
      for (std::size_t i = 0; i < narrow.size(); ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          ASSERT_EQ(std::bit_cast<uint32_t>(narrow[i][j]), std::bit_cast<uint32_t>(wide[i][j]))
              << "vector " << i << " element " << j << " of " << n << ", g " << g;
        }
      }
    }
  }
}

// Every fast build the processor runs, against the exact operations on the same inputs: within a few
// roundings (relative to the lengths), not the same bits on every dot (sums in lanes), and the single
// dot equal to a row of the batched one.
TEST(FastOps, EveryBuildIsWithinRoundingOfTheExactOperations) {
  static const float group_labels_one = 1.0f;
  std::mt19937 gen(17);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  const FastBuild before = current_fast_build();
  for (const FastBuild build : {FastBuild::kBaseline, FastBuild::kAvx2, FastBuild::kAvx512}) {
    if (!use_fast_build(build)) continue;
    const FastOps& ops = fast_ops();
    bool any_dot_differs = false;
    for (const std::size_t n : {1, 3, 8, 17, 25, 33, 50, 100, 101, 200}) {
      std::vector<std::vector<float>> v(10, std::vector<float>(n));  // h, err, rows 0..7
      for (auto& x : v) std::generate(x.begin(), x.end(), [&] { return uni(gen); });
      std::vector<std::vector<float>> e = v;  // the exact side
      float* f_rows[8];
      float* e_rows[8];
      for (int r = 0; r < 8; ++r) f_rows[r] = v[2 + r].data(), e_rows[r] = e[2 + r].data();
      float got[8];
      ops.dot_many(v[0].data(), f_rows, 8, n, got);
      for (int r = 0; r < 8; ++r) {
        EXPECT_NEAR(got[r], dot(v[0], v[2 + r], n), 1e-5f * n) << ops.name << " n " << n;
        EXPECT_EQ(std::bit_cast<uint32_t>(ops.dot(v[0].data(), f_rows[r], n)), std::bit_cast<uint32_t>(got[r]));
        any_dot_differs |= got[r] != dot(v[0], v[2 + r], n);
      }
      // The error accumulation over rows 0-3, the levels of two pairs (rows 4-5 with 6-7) on three
      // nested widths.
      const float g[4] = {0.3f, -0.2f, 0.05f, 0.7f};
      ops.accumulate_error_many(v[1].data(), f_rows, g, 4, v[0].data(), n);
      accumulate_error_many(e[1].data(), e_rows, g, 4, e[0].data(), n);
      const std::vector<uint64_t> levels{std::max<std::size_t>(n / 4, 1), n / 2, n};
      PrefixSegment segs[3];
      const float labels[2] = {1.0f, 0.0f};
      const std::size_t nseg = prefix_segments(levels, n, segs);
      LevelShape shape;
      ops.shape_levels(segs, nseg, &shape);
      ops.level_pairs(f_rows + 4, f_rows + 6, labels, 2, segs, nseg, shape, 0.1f);
      for (int r = 0; r < 2; ++r) level_pair_update(e[6 + r], e[8 + r], levels, labels[r], 0.1f);
      // Six updates of one input row (h) against rows 0-5 as one group, and one after another.
      const float group_labels[6] = {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f};
      ops.pair_group(v[0].data(), f_rows, group_labels, 6, n, 0.1f);
      for (int r = 0; r < 6; ++r) level_pair_update(e[0], e[2 + r], std::vector<uint64_t>{n}, group_labels[r], 0.1f);
      // A softmax pair at every width of `levels`: err against the path of rows 0-5, width by width.
      ops.path_levels(v[1].data(), f_rows, group_labels, 6, levels.data(), 3, 0.1f);
      for (const uint64_t w : levels) {
        std::vector<float> path_err(n);
        for (int r = 0; r < 6; ++r) accumulate_error(path_err, e[2 + r], e[1], w, logistic_gradient(dot(e[1], e[2 + r], w), group_labels[r], 0.1f));
        add_into(e[1], path_err, w);
      }
      for (int i = 0; i < 10; ++i) {
        for (std::size_t j = 0; j < n; ++j) ASSERT_NEAR(v[i][j], e[i][j], 4e-5f) << ops.name << i << " " << j;
      }
    }
    EXPECT_TRUE(any_dot_differs) << ops.name;
    // An infinity beyond the narrower width, inside its vector block: the narrow width's sums must
    // not see it (0 * inf), so the first components stay finite, as in the exact arithmetic.
    for (const std::size_t at : {5, 10}) {
      std::vector<float> a(16, 0.1f), b(16, 0.1f), h(16, 0.1f);
      b[at] = std::numeric_limits<float>::infinity();
      std::vector<float> node = b;
      float* pa = a.data();
      float* pb = b.data();
      float* pn = node.data();
      const std::vector<uint64_t> widths{4, 16};
      PrefixSegment segs[2];
      LevelShape shape;
      ops.shape_levels(segs, prefix_segments(widths, 16, segs), &shape);
      ops.level_pairs(&pa, &pb, &group_labels_one, 1, segs, 2, shape, 0.0125f);
      ops.path_levels(h.data(), &pn, &group_labels_one, 1, widths.data(), 2, 0.0125f);
      for (std::size_t j = 0; j < 4; ++j) {
        ASSERT_TRUE(std::isfinite(a[j]) && std::isfinite(b[j]) && std::isfinite(h[j]) && std::isfinite(node[j]))
            << ops.name << " inf at " << at << ", component " << j;
      }
    }
  }
  use_fast_build(before);
}

}  // namespace
}  // namespace tarnivel
