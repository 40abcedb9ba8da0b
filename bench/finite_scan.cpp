// Cost of the divergence check that training runs after every epoch: one scan of both weight
// matrices for NaN and infinity, at the reference vocabulary (24,082 words x 100). Not part of any
// build target; compile and run by hand from the repository root:
//
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/finite_scan.cpp src/weights/finite.cpp \
//       -o /tmp/finite_scan && /tmp/finite_scan
//
// Prints the median time of one check (input and output matrix) in milliseconds; compare it with an
// epoch on the same vocabulary (seconds: see bench/run.py).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "weights/finite.hpp"

int main() {
  constexpr std::size_t words = 24082, dim = 100, reps = 41;
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> input(words * dim), output(words * dim);
  for (float& x : input) x = dist(gen);
  for (float& x : output) x = dist(gen);
  std::vector<double> ms;
  std::size_t sink = 0;
  for (std::size_t r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    sink += tarnivel::first_non_finite(input) + tarnivel::first_non_finite(output);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::nth_element(ms.begin(), ms.begin() + reps / 2, ms.end());
  std::printf("check of %zu x %zu input + output floats: median %.3f ms (%zu)\n", words, dim, ms[reps / 2],
              sink == 2 * words * dim * reps ? std::size_t{0} : sink);
  return 0;
}
