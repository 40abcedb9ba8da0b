// Micro-benchmark of the training primitives and of stripe locking, for A/B of kernel changes.
// Not part of any build target; compile and run by hand from the repository root:
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/kernels.cpp src/ops/vector_ops.cpp \
//       src/weights/shared_matrix.cpp src/common/error.cpp src/training/ns.cpp \
//       src/sampling/alias.cpp src/rng/chacha.cpp -o /tmp/kernels -pthread && /tmp/kernels
//
// Prints nanoseconds per operation: one sequential dot of 100 (independent ones overlapping, and a
// dependent chain of them: the latency), six dots side by side, a row update,
// and a stripe lock/unlock pair around a row update (uncontended, and with two threads on random
// rows of a 24k-row matrix). Then the skip-gram negative-sampling update of training without row
// locks: the sequential kernel on plain floats against the same arithmetic with every element of the
// shared rows read and written through std::atomic_ref<float> with relaxed order (the form that
// would make concurrent unlocked updates race-free in the language's terms), for one thread and for
// two threads on the same matrices.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "ops/vector_ops.hpp"
#include "training/ns.hpp"
#include "weights/shared_matrix.hpp"

namespace {

// The sequential skip-gram pair step (level_pair_update without segment sums) with every element
// of the two rows loaded and stored through relaxed std::atomic_ref<float>: the same operations in
// the same order, each shared element read once per use. Scalar loops: atomic accesses are not
// vectorised.
void atomic_level_pair_update(float* pa, float* pb, std::span<const uint64_t> levels, std::size_t dim,
                              float label, float lr_eff) {
  using Ref = std::atomic_ref<float>;
  constexpr auto relaxed = std::memory_order_relaxed;
  std::size_t prev = 0;
  float dot = 0.0f, sq_a = 0.0f, sq_b = 0.0f;
  for (const uint64_t level : levels) {
    const std::size_t width = std::min<std::size_t>(level, dim);
    if (width <= prev) continue;
    for (std::size_t j = prev; j < width; ++j) {
      const float a = Ref(pa[j]).load(relaxed);
      const float b = Ref(pb[j]).load(relaxed);
      dot += a * b;
      sq_a += a * a;
      sq_b += b * b;
    }
    const float g = tarnivel::logistic_gradient(dot, label, lr_eff);
    for (std::size_t j = 0; j < width; ++j) {
      const float a0 = Ref(pa[j]).load(relaxed);
      const float b0 = Ref(pb[j]).load(relaxed);
      Ref(pa[j]).store(a0 + g * b0, relaxed);
      Ref(pb[j]).store(b0 + g * a0, relaxed);
    }
    tarnivel::carry_pair_statistics(dot, sq_a, sq_b, g);
    prev = width;
  }
}

using Clock = std::chrono::steady_clock;

template <class F>
double ns_per(std::size_t reps, F&& f) {
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < reps; ++i) f(i);
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / static_cast<double>(reps);
}

volatile float sink;

}  // namespace

int main() {
  using namespace tarnivel;
  constexpr std::size_t dim = 100, rows = 24000, reps = 2000000;
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> data(rows * dim);
  for (float& x : data) x = dist(gen);
  std::vector<uint32_t> pick(reps);
  for (auto& p : pick) p = gen() % rows;
  std::vector<float> h(dim, 0.01f), err(dim, 0.0f);

  float acc = 0;
  std::printf("dot of 100 (one chain):         %6.1f ns\n", ns_per(reps, [&](std::size_t i) {
                acc += dot(h, {data.data() + pick[i] * dim, dim}, dim);
              }));
  // Latency: each dot's row address depends on the previous dot's result, so nothing overlaps.
  volatile std::size_t zero_source = 0;
  const std::size_t zero = zero_source;
  float chained = 0;
  std::printf("dependent dot of 100:           %6.1f ns\n", ns_per(reps, [&](std::size_t i) {
                const std::size_t bump = static_cast<std::size_t>(chained != chained) & zero;
                chained = dot(h, {data.data() + pick[i] * dim + bump, dim}, dim);
              }));
  float out[kDotLanes];
  std::printf("dependent 6 dots side by side:  %6.1f ns (for all six)\n",
              ns_per(reps / 6, [&](std::size_t i) {
                const std::size_t bump = static_cast<std::size_t>(chained != chained) & zero;
                const float* r[6];
                for (int k = 0; k < 6; ++k) r[k] = data.data() + pick[(i * 6 + k) % reps] * dim + bump;
                dot_many(h.data(), r, 6, dim, out);
                chained = out[0];
              }));
  std::printf("6 dots side by side (per dot):  %6.1f ns\n", ns_per(reps / 6, [&](std::size_t i) {
                const float* r[6];
                for (int k = 0; k < 6; ++k) r[k] = data.data() + pick[(i * 6 + k) % reps] * dim;
                dot_many(h.data(), r, 6, dim, out);
                acc += out[0] + out[5];
              }) / 6.0);
  std::printf("row update (add_scaled):        %6.1f ns\n", ns_per(reps, [&](std::size_t i) {
                add_scaled(data.data() + pick[i] * dim, h.data(), dim, 1e-7f);
              }));
  SharedMatrix m = SharedMatrix::wrap(std::vector<float>(data), dim);
  std::printf("locked row update, 1 thread:    %6.1f ns\n", ns_per(reps, [&](std::size_t i) {
                m.with_stripe(pick[i], [&] { add_scaled(m.row(pick[i]).data(), h.data(), dim, 1e-7f); });
              }));
  auto worker = [&](std::size_t offset) {
    for (std::size_t i = 0; i < reps; ++i) {
      const std::size_t r = pick[(i + offset) % reps];
      m.with_stripe(r, [&] { add_scaled(m.row(r).data(), h.data(), dim, 1e-7f); });
    }
  };
  const auto t0 = Clock::now();
  std::thread other(worker, reps / 2);
  worker(0);
  other.join();
  std::printf("locked row update, 2 threads:   %6.1f ns (per update per thread)\n",
              std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / reps);

  // Skip-gram negative sampling without row locks: one centre row against a positive and five
  // sampled output rows per step, as training does (levels [100], then the default [25, 50, 100]).
  std::vector<float> in_rows(data), out_rows(data);
  for (const std::vector<uint64_t>& levels :
       {std::vector<uint64_t>{100}, std::vector<uint64_t>{25, 50, 100}}) {
    const float lr = 0.025f / static_cast<float>(levels.size());
    auto plain_step = [&](std::size_t i) {
      float* a = in_rows.data() + pick[i] * dim;
      for (int k = 0; k < 6; ++k) {
        float* b = out_rows.data() + pick[(i * 7 + k + 1) % reps] * dim;
        level_pair_update({a, dim}, {b, dim}, levels, k == 0 ? 1.0f : 0.0f, lr);
      }
    };
    auto atomic_step = [&](std::size_t i) {
      float* a = in_rows.data() + pick[i] * dim;
      for (int k = 0; k < 6; ++k) {
        float* b = out_rows.data() + pick[(i * 7 + k + 1) % reps] * dim;
        atomic_level_pair_update(a, b, levels, dim, k == 0 ? 1.0f : 0.0f, lr);
      }
    };
    const std::size_t steps = reps / 4;
    const double plain1 = ns_per(steps, plain_step);
    const double atomic1 = ns_per(steps, atomic_step);
    auto two_threads = [&](auto& step) {
      const auto start = Clock::now();
      std::thread second([&] { for (std::size_t i = 0; i < steps; ++i) step((i + reps / 2) % reps); });
      for (std::size_t i = 0; i < steps; ++i) step(i);
      second.join();
      return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / steps;
    };
    const double plain2 = two_threads(plain_step);
    const double atomic2 = two_threads(atomic_step);
    std::printf("sg-ns step (6 targets), levels %s: plain %6.1f ns, atomic_ref %6.1f ns (%.2fx); "
                "2 threads (per step per thread): plain %6.1f ns, atomic_ref %6.1f ns (%.2fx)\n",
                levels.size() == 1 ? "[100]       " : "[25, 50, 100]", plain1, atomic1, atomic1 / plain1,
                plain2, atomic2, atomic2 / plain2);
  }
  sink = acc + in_rows[0] + out_rows[0];
  return 0;
}
