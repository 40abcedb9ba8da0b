// Cross-core cache-line round trip: two threads hand one flag back and forth through a shared cache
// line, and the mean time of one hand-over there and back is printed in nanoseconds. Multi-worker
// training moves row-lock and row cache lines between cores all the time, so its speed follows this
// figure; on shared virtual machines it changes from minute to minute. bench/run.py compiles it
// (g++ -O2 -pthread) and reports it next to every cell.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {
alignas(64) std::atomic<int> flag{0};
}

int main() {
  constexpr int kRounds = 300000;
  std::thread other([] {
    for (int i = 0; i < kRounds; ++i) {
      while (flag.load(std::memory_order_acquire) != 1) {
      }
      flag.store(0, std::memory_order_release);
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    flag.store(1, std::memory_order_release);
    while (flag.load(std::memory_order_acquire) != 0) {
    }
  }
  const auto t1 = std::chrono::steady_clock::now();
  other.join();
  std::printf("%.1f\n", std::chrono::duration<double, std::nano>(t1 - t0).count() / kRounds);
  return 0;
}
