// Micro-benchmark of the training primitives and of stripe locking, for A/B of kernel changes.
// Not part of any build target; compile and run by hand from the repository root:
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/kernels.cpp src/ops/mod.cpp \
//       src/weights/shared_matrix.cpp src/common/error.cpp -o /tmp/kernels -pthread && /tmp/kernels
//
// Prints nanoseconds per operation: one sequential dot of 100 (independent ones overlapping, and a
// dependent chain of them: the latency), six dots side by side, a row update,
// and a stripe lock/unlock pair around a row update (uncontended, and with two threads on random
// rows of a 24k-row matrix).
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "ops/mod.hpp"
#include "weights/shared_matrix.hpp"

namespace {

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
  sink = acc;
  return 0;
}
