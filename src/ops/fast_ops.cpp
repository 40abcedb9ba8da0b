#include "ops/fast_ops.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "ops/vector_ops.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TARNIVEL_FAST_X86 1
#include <immintrin.h>
#else
#define TARNIVEL_FAST_X86 0
#endif

namespace tarnivel {

namespace {

#if TARNIVEL_FAST_X86

// The sum of four lanes, in a fixed order: (l0 + l2) + (l1 + l3).
inline float hsum4(__m128 s) {
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
  return _mm_cvtss_f32(s);
}

namespace avx512 {
#define FAST_TARGET [[gnu::target("avx512f,avx512dq,avx512bw,avx512vl,avx2,fma")]]
using vec = __m512;
constexpr std::size_t W = 16;
constexpr const char* kName = "avx512";
// The tail primitives are always inlined: the kernels call them in many places, and the compiler
// would otherwise keep one copy out of line and call it, with every live vector around the call.
FAST_TARGET [[gnu::always_inline]] inline __mmask16 first(std::size_t m) {
  return static_cast<__mmask16>((1u << m) - 1u);
}
FAST_TARGET inline vec zero() { return _mm512_setzero_ps(); }
FAST_TARGET inline vec load(const float* p) { return _mm512_loadu_ps(p); }
// A tail is moved as whole pieces of 8 and 4 floats and a masked rest, loads and stores alike: a
// load that one earlier store covers exactly takes its value from that store, while a masked store
// forwards nothing, so updating the same row twice in a row would wait for the first store to leave
// the core.
FAST_TARGET [[gnu::always_inline]] inline vec load_part(const float* p, std::size_t m) {
  vec v = zero();
  std::size_t i = 0;
  if (m >= 8) {
    v = _mm512_insertf32x8(zero(), _mm256_loadu_ps(p), 0);
    i = 8;
  }
  if (m - i >= 4) {
    const __m128 q = _mm_loadu_ps(p + i);
    v = i == 0 ? _mm512_insertf32x4(zero(), q, 0) : _mm512_insertf32x4(v, q, 2);
    i += 4;
  }
  if (i < m) v = _mm512_mask_loadu_ps(v, static_cast<__mmask16>(first(m) & ~first(i)), p);
  return v;
}
FAST_TARGET inline void store(float* p, vec v) { _mm512_storeu_ps(p, v); }
FAST_TARGET [[gnu::always_inline]] inline void store_part(float* p, vec v, std::size_t m) {
  std::size_t i = 0;
  if (m >= 8) {
    _mm256_storeu_ps(p, _mm512_maskz_extractf32x8_ps(0xFF, v, 0));
    i = 8;
  }
  if (m - i >= 4) {
    _mm_storeu_ps(p + i, i == 0 ? _mm512_maskz_extractf32x4_ps(0xF, v, 0)
                              : _mm512_maskz_extractf32x4_ps(0xF, v, 2));
    i += 4;
  }
  if (i < m) _mm512_mask_storeu_ps(p, static_cast<__mmask16>(first(m) & ~first(i)), v);
}
// Lanes [lo, hi) of v, the others zero; base with lanes [lo, hi) taken from v.
FAST_TARGET [[gnu::always_inline]] inline vec keep(vec v, std::size_t lo, std::size_t hi) {
  return _mm512_maskz_mov_ps(static_cast<__mmask16>(first(hi) & ~first(lo)), v);
}
FAST_TARGET [[gnu::always_inline]] inline vec blend(vec base, vec v, std::size_t lo, std::size_t hi) {
  return _mm512_mask_mov_ps(base, static_cast<__mmask16>(first(hi) & ~first(lo)), v);
}
// A tail in one masked instruction, for rows that are not read again right after the store.
FAST_TARGET [[gnu::always_inline]] inline vec load_masked(const float* p, std::size_t m) {
  return _mm512_maskz_loadu_ps(first(m), p);
}
FAST_TARGET [[gnu::always_inline]] inline void store_masked(float* p, vec v, std::size_t m) {
  _mm512_mask_storeu_ps(p, first(m), v);
}
FAST_TARGET inline vec splat(float x) { return _mm512_set1_ps(x); }
FAST_TARGET inline vec fmadd(vec a, vec b, vec c) { return _mm512_fmadd_ps(a, b, c); }
FAST_TARGET inline float fmadd1(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
FAST_TARGET inline vec add(vec a, vec b) { return _mm512_add_ps(a, b); }
FAST_TARGET inline vec mul(vec a, vec b) { return _mm512_mul_ps(a, b); }
FAST_TARGET inline vec div(vec a, vec b) { return _mm512_div_ps(a, b); }
FAST_TARGET [[gnu::always_inline]] inline vec select_first(vec v, vec rest, std::size_t m) {
  return _mm512_mask_blend_ps(first(m), rest, v);
}
// Zeroes zmm16-zmm31 on the way out of a kernel that may have used them, then the upper halves of
// the rest: vzeroupper alone leaves 16-31 as they are, and with upper state left dirty the callers'
// SSE code (the random stream's refill among it) runs with false dependencies on it. Every vector
// register is declared clobbered, so that no wide value is kept across the asm.
FAST_TARGET inline void leave() {
  __asm__ volatile(
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
      "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
      "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
      "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
      "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
      "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
      "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31\n\tvzeroupper"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
        "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",
        "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30",
        "xmm31");
}
FAST_TARGET inline float hsum(vec v) {
  const __m256 h = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, v, 0),
                                 _mm512_maskz_extractf32x8_ps(0xFF, v, 1));
  return hsum4(_mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1)));
}
#include "ops/fast_kernels.inc"
#undef FAST_TARGET
}  // namespace avx512

namespace avx2 {
#define FAST_TARGET [[gnu::target("avx2,fma")]]
using vec = __m256;
constexpr std::size_t W = 8;
constexpr const char* kName = "avx2";
FAST_TARGET [[gnu::always_inline]] inline __m256i first(std::size_t m) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(m)),
                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
FAST_TARGET inline vec zero() { return _mm256_setzero_ps(); }
FAST_TARGET inline vec load(const float* p) { return _mm256_loadu_ps(p); }
// Tails as in the AVX-512 build: a whole piece of 4 floats, then the rest (masked loads, plain
// scalar stores: masked stores are slow on some processors).
FAST_TARGET [[gnu::always_inline]] inline vec load_part(const float* p, std::size_t m) {
  if (m < 4) return _mm256_maskload_ps(p, first(m));
  const __m256 rest = _mm256_maskload_ps(p, _mm256_andnot_si256(first(4), first(m)));
  return _mm256_insertf128_ps(rest, _mm_loadu_ps(p), 0);
}
FAST_TARGET inline void store(float* p, vec v) { _mm256_storeu_ps(p, v); }
FAST_TARGET [[gnu::always_inline]] inline void store_part(float* p, vec v, std::size_t m) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, v);
  std::size_t i = 0;
  if (m >= 4) {
    _mm_storeu_ps(p, _mm256_castps256_ps128(v));
    i = 4;
  }
  for (; i < m; ++i) p[i] = lanes[i];
}
FAST_TARGET [[gnu::always_inline]] inline vec keep(vec v, std::size_t lo, std::size_t hi) {
  return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_andnot_si256(first(lo), first(hi))));
}
FAST_TARGET [[gnu::always_inline]] inline vec blend(vec base, vec v, std::size_t lo, std::size_t hi) {
  return _mm256_blendv_ps(base, v, _mm256_castsi256_ps(_mm256_andnot_si256(first(lo), first(hi))));
}
FAST_TARGET [[gnu::always_inline]] inline vec load_masked(const float* p, std::size_t m) {
  return load_part(p, m);
}
FAST_TARGET [[gnu::always_inline]] inline void store_masked(float* p, vec v, std::size_t m) {
  store_part(p, v, m);
}
FAST_TARGET inline vec splat(float x) { return _mm256_set1_ps(x); }
FAST_TARGET inline vec fmadd(vec a, vec b, vec c) { return _mm256_fmadd_ps(a, b, c); }
FAST_TARGET inline float fmadd1(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
FAST_TARGET inline vec add(vec a, vec b) { return _mm256_add_ps(a, b); }
FAST_TARGET inline vec mul(vec a, vec b) { return _mm256_mul_ps(a, b); }
FAST_TARGET inline vec div(vec a, vec b) { return _mm256_div_ps(a, b); }
FAST_TARGET [[gnu::always_inline]] inline vec select_first(vec v, vec rest, std::size_t m) {
  return _mm256_blendv_ps(rest, v, _mm256_castsi256_ps(first(m)));
}
FAST_TARGET inline float hsum(vec v) {
  return hsum4(_mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1)));
}
inline void leave() {}
#include "ops/fast_kernels.inc"
#undef FAST_TARGET
}  // namespace avx2

// SSE2, which every x86-64 processor has: four lanes, separate multiply and add.
namespace baseline {
#define FAST_TARGET
using vec = __m128;
constexpr std::size_t W = 4;
constexpr const char* kName = "baseline";
inline vec zero() { return _mm_setzero_ps(); }
inline vec load(const float* p) { return _mm_loadu_ps(p); }
[[gnu::always_inline]] inline vec load_part(const float* p, std::size_t m) {
  alignas(16) float buf[4] = {};
  std::memcpy(buf, p, m * sizeof(float));
  return _mm_load_ps(buf);
}
inline void store(float* p, vec v) { _mm_storeu_ps(p, v); }
[[gnu::always_inline]] inline void store_part(float* p, vec v, std::size_t m) {
  alignas(16) float buf[4];
  _mm_store_ps(buf, v);
  std::memcpy(p, buf, m * sizeof(float));
}
inline __m128 lanes(std::size_t lo, std::size_t hi) {
  const __m128i index = _mm_setr_epi32(0, 1, 2, 3);
  const __m128i below_hi = _mm_cmplt_epi32(index, _mm_set1_epi32(static_cast<int>(hi)));
  const __m128i below_lo = _mm_cmplt_epi32(index, _mm_set1_epi32(static_cast<int>(lo)));
  return _mm_castsi128_ps(_mm_andnot_si128(below_lo, below_hi));
}
inline vec keep(vec v, std::size_t lo, std::size_t hi) { return _mm_and_ps(v, lanes(lo, hi)); }
inline vec blend(vec base, vec v, std::size_t lo, std::size_t hi) {
  const __m128 mask = lanes(lo, hi);
  return _mm_or_ps(_mm_and_ps(mask, v), _mm_andnot_ps(mask, base));
}
[[gnu::always_inline]] inline vec load_masked(const float* p, std::size_t m) {
  return load_part(p, m);
}
[[gnu::always_inline]] inline void store_masked(float* p, vec v, std::size_t m) {
  store_part(p, v, m);
}
inline vec splat(float x) { return _mm_set1_ps(x); }
inline vec fmadd(vec a, vec b, vec c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
inline float fmadd1(float a, float b, float c) { return a * b + c; }
inline vec add(vec a, vec b) { return _mm_add_ps(a, b); }
inline vec mul(vec a, vec b) { return _mm_mul_ps(a, b); }
inline vec div(vec a, vec b) { return _mm_div_ps(a, b); }
inline vec select_first(vec v, vec rest, std::size_t m) {
  const __m128 mask = _mm_castsi128_ps(
      _mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(static_cast<int>(m))));
  return _mm_or_ps(_mm_and_ps(mask, v), _mm_andnot_ps(mask, rest));
}
inline float hsum(vec v) { return hsum4(v); }
inline void leave() {}
#include "ops/fast_kernels.inc"
#undef FAST_TARGET
}  // namespace baseline

bool processor_runs(FastBuild build) {
  __builtin_cpu_init();
  switch (build) {
    case FastBuild::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case FastBuild::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case FastBuild::kBaseline:
      return true;
  }
  return false;
}

const FastOps& ops_of(FastBuild build) {
  switch (build) {
    case FastBuild::kAvx512:
      return avx512::ops();
    case FastBuild::kAvx2:
      return avx2::ops();
    case FastBuild::kBaseline:
      break;
  }
  return baseline::ops();
}

#else

// Other processors: plain scalar loops (one lane).
namespace baseline {
#define FAST_TARGET
using vec = float;
constexpr std::size_t W = 1;
constexpr const char* kName = "baseline";
inline vec zero() { return 0.0f; }
inline vec load(const float* p) { return *p; }
inline vec load_part(const float* p, std::size_t) { return *p; }
inline void store(float* p, vec v) { *p = v; }
inline void store_part(float* p, vec v, std::size_t) { *p = v; }
inline vec keep(vec v, std::size_t lo, std::size_t hi) { return lo == 0 && hi > 0 ? v : 0.0f; }
inline vec blend(vec base, vec v, std::size_t lo, std::size_t hi) {
  return lo == 0 && hi > 0 ? v : base;
}
inline vec load_masked(const float* p, std::size_t m) { return load_part(p, m); }
inline void store_masked(float* p, vec v, std::size_t m) { store_part(p, v, m); }
inline vec splat(float x) { return x; }
inline vec fmadd(vec a, vec b, vec c) { return a * b + c; }
inline float fmadd1(float a, float b, float c) { return a * b + c; }
inline vec add(vec a, vec b) { return a + b; }
inline vec mul(vec a, vec b) { return a * b; }
inline vec div(vec a, vec b) { return a / b; }
inline vec select_first(vec v, vec rest, std::size_t m) { return m > 0 ? v : rest; }
inline float hsum(vec v) { return v; }
inline void leave() {}
#include "ops/fast_kernels.inc"
#undef FAST_TARGET
}  // namespace baseline

bool processor_runs(FastBuild build) { return build == FastBuild::kBaseline; }
const FastOps& ops_of(FastBuild) { return baseline::ops(); }

#endif

FastBuild widest_build() {
  if (processor_runs(FastBuild::kAvx512)) return FastBuild::kAvx512;
  if (processor_runs(FastBuild::kAvx2)) return FastBuild::kAvx2;
  return FastBuild::kBaseline;
}

std::atomic<FastBuild> selected{widest_build()};

}  // namespace

std::size_t prefix_segments(std::span<const uint64_t> levels, std::size_t dim, PrefixSegment* out) {
  std::size_t prev = 0;
  std::size_t count = 0;
  for (const uint64_t level : levels) {
    const auto width = static_cast<std::size_t>(std::min<uint64_t>(level, dim));
    if (width <= prev) continue;
    out[count++] = {prev, width};
    prev = width;
  }
  return count;
}

bool fast_build_available(FastBuild build) { return processor_runs(build); }

const FastOps& fast_ops() { return ops_of(selected.load(std::memory_order_relaxed)); }

FastBuild current_fast_build() { return selected.load(std::memory_order_relaxed); }

bool use_fast_build(FastBuild build) {
  if (!processor_runs(build)) return false;
  selected.store(build, std::memory_order_relaxed);
  return true;
}

}  // namespace tarnivel
