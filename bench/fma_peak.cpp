// One core's peak float32 rate for the fast arithmetic's work: fused multiply-adds on twelve
// independent vectors of the widest kind the processor has, kept in registers (no memory traffic).
// Built by bench/run.py with -O2 -march=native -ffp-contract=fast; prints GFLOP/s (two flops per lane
// and fused multiply-add) and the lane count.
#include <chrono>
#include <cstdio>

#if defined(__AVX512F__)
constexpr int kLanes = 16;
#elif defined(__AVX__)
constexpr int kLanes = 8;
#else
constexpr int kLanes = 4;
#endif
typedef float vec __attribute__((vector_size(4 * kLanes)));

int main() {
  vec a[12];
  for (int i = 0; i < 12; ++i) a[i] = vec{} + 0.1f + 0.01f * static_cast<float>(i);
  const vec x = vec{} + 0.999999f;
  const vec y = vec{} + 1e-7f;
  vec a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5];
  vec a6 = a[6], a7 = a[7], a8 = a[8], a9 = a[9], a10 = a[10], a11 = a[11];
  const long iters = 40'000'000;
  const auto t0 = std::chrono::steady_clock::now();
  for (long n = 0; n < iters; ++n) {
    a0 = a0 * x + y; a1 = a1 * x + y; a2 = a2 * x + y; a3 = a3 * x + y;
    a4 = a4 * x + y; a5 = a5 * x + y; a6 = a6 * x + y; a7 = a7 * x + y;
    a8 = a8 * x + y; a9 = a9 * x + y; a10 = a10 * x + y; a11 = a11 * x + y;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const vec sum = ((a0 + a1) + (a2 + a3)) + ((a4 + a5) + (a6 + a7)) + ((a8 + a9) + (a10 + a11));
  std::fprintf(stderr, "(%g)\n", static_cast<double>(sum[0]));
  std::printf("%.2f %d\n", 2.0 * kLanes * 12 * static_cast<double>(iters) / s / 1e9, kLanes);
}
