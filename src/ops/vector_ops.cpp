#include "ops/vector_ops.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

#include "common/error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The element-wise operations are plain loops that the compiler vectorises. On x86-64 each loop is
// also built for AVX2 (eight lanes per instruction instead of SSE2's four) and that build runs when
// the processor has AVX2. Every lane does exactly the scalar operation on its own element, in the
// same order per element, and neither build fuses a multiply into an add (FMA is a separate target
// feature, and -ffp-contract=off forbids contraction anyway), so both give the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TARNIVEL_WIDE_VECTORS 1
#define TARNIVEL_WIDE [[gnu::target("avx2")]]
#else
#define TARNIVEL_WIDE_VECTORS 0
#endif

namespace tarnivel {

namespace {

inline void check_prefix(std::size_t n, std::size_t size) {
  TARNIVEL_CHECK(n <= size, "prefix length exceeds vector length");
}

#if TARNIVEL_WIDE_VECTORS
bool processor_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
std::atomic<bool> wide{processor_has_avx2()};
inline bool use_wide() { return wide.load(std::memory_order_relaxed); }
#endif

// ---- the loops (inlined into both builds) ----

[[gnu::always_inline]] inline void add_into_loop(float* d, const float* s, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] + s[j];
}
[[gnu::always_inline]] inline void divide_by_loop(float* d, std::size_t n, float c) {
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] / c;
}
[[gnu::always_inline]] inline void add_divided_loop(float* d, const float* s, std::size_t n,
                                                    float c) {
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] + s[j] / c;
}
[[gnu::always_inline]] inline void pair_update_loop(float* pa, float* pb, std::size_t n, float g) {
  for (std::size_t j = 0; j < n; ++j) {
    const float a0 = pa[j];
    const float b0 = pb[j];
    pa[j] = a0 + g * b0;
    pb[j] = b0 + g * a0;
  }
}
[[gnu::always_inline]] inline void accumulate_error_loop(float* e, float* o, const float* h,
                                                         std::size_t n, float g) {
  for (std::size_t j = 0; j < n; ++j) {
    const float o0 = o[j];
    e[j] = e[j] + g * o0;
    o[j] = o0 + g * h[j];
  }
}
// Row by row over all elements: each element of err still receives the rows' terms in row order,
// and each row element is read before it is written, so the values are those of one pass over the
// elements with all rows per element; the inner loops are element-wise and vectorise.
[[gnu::always_inline]] inline void accumulate_error_many_loop(float* err, float* const* rows,
                                                              const float* g, std::size_t k,
                                                              const float* h, std::size_t n) {
  for (std::size_t r = 0; r < k; ++r) accumulate_error_loop(err, rows[r], h, n, g[r]);
}
[[gnu::always_inline]] inline void add_scaled_loop(float* d, const float* s, std::size_t n,
                                                   float g) {
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] + g * s[j];
}
[[gnu::always_inline]] inline void add_scaled_many_loop(float* err, const float* const* src,
                                                        const float* g, std::size_t k,
                                                        std::size_t n) {
  for (std::size_t r = 0; r < k; ++r) add_scaled_loop(err, src[r], n, g[r]);
}
[[gnu::always_inline]] inline void copy_loop(float* d, const float* s, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) d[j] = s[j];
}

#if TARNIVEL_WIDE_VECTORS
TARNIVEL_WIDE void add_into_wide(float* d, const float* s, std::size_t n) { add_into_loop(d, s, n); }
TARNIVEL_WIDE void divide_by_wide(float* d, std::size_t n, float c) { divide_by_loop(d, n, c); }
TARNIVEL_WIDE void add_divided_wide(float* d, const float* s, std::size_t n, float c) {
  add_divided_loop(d, s, n, c);
}
TARNIVEL_WIDE void pair_update_wide(float* a, float* b, std::size_t n, float g) {
  pair_update_loop(a, b, n, g);
}
TARNIVEL_WIDE void accumulate_error_wide(float* e, float* o, const float* h, std::size_t n,
                                         float g) {
  accumulate_error_loop(e, o, h, n, g);
}
TARNIVEL_WIDE void accumulate_error_many_wide(float* err, float* const* rows, const float* g,
                                              std::size_t k, const float* h, std::size_t n) {
  accumulate_error_many_loop(err, rows, g, k, h, n);
}
TARNIVEL_WIDE void add_scaled_wide(float* d, const float* s, std::size_t n, float g) {
  add_scaled_loop(d, s, n, g);
}
TARNIVEL_WIDE void add_scaled_many_wide(float* err, const float* const* src, const float* g,
                                        std::size_t k, std::size_t n) {
  add_scaled_many_loop(err, src, g, k, n);
}
TARNIVEL_WIDE void copy_wide(float* d, const float* s, std::size_t n) { copy_loop(d, s, n); }
// Runs the AVX2 build of an operation when in use, else the baseline one.
#define TARNIVEL_DISPATCH(name, ...)  \
  do {                                \
    if (use_wide()) {                 \
      name##_wide(__VA_ARGS__);       \
    } else {                          \
      name##_loop(__VA_ARGS__);       \
    }                                 \
  } while (false)
#else
#define TARNIVEL_DISPATCH(name, ...) name##_loop(__VA_ARGS__)
#endif

}  // namespace

bool wide_vectors_available() {
#if TARNIVEL_WIDE_VECTORS
  return processor_has_avx2();
#else
  return false;
#endif
}

bool use_wide_vectors(bool on) {
#if TARNIVEL_WIDE_VECTORS
  return wide.exchange(on && processor_has_avx2(), std::memory_order_relaxed);
#else
  (void)on;
  return false;
#endif
}

// The products are formed four at a time in the SSE2 unit (each lane rounds its own product to
// float, exactly as a scalar multiply would); the additions stay one accumulator, left to right.
float dot(std::span<const float> a, std::span<const float> b, std::size_t n) {
  check_prefix(n, a.size());
  check_prefix(n, b.size());
  const float* pa = a.data();
  const float* pb = b.data();
  float sum = 0.0f;
  std::size_t j = 0;
#if defined(__SSE2__)
  alignas(16) float prod[4];
  for (; j + 4 <= n; j += 4) {
    _mm_store_ps(prod, _mm_mul_ps(_mm_loadu_ps(pa + j), _mm_loadu_ps(pb + j)));
    sum += prod[0];
    sum += prod[1];
    sum += prod[2];
    sum += prod[3];
  }
#endif
  for (; j < n; ++j) {
    const float p = pa[j] * pb[j];
    sum += p;
  }
  return sum;
}

void add_into(std::span<float> dst, std::span<const float> src, std::size_t n) {
  check_prefix(n, dst.size());
  check_prefix(n, src.size());
  TARNIVEL_DISPATCH(add_into, dst.data(), src.data(), n);
}
void divide_by(std::span<float> dst, std::size_t n, float c) {
  check_prefix(n, dst.size());
  TARNIVEL_DISPATCH(divide_by, dst.data(), n, c);
}
void add_divided(std::span<float> dst, std::span<const float> src, std::size_t n, float c) {
  check_prefix(n, dst.size());
  check_prefix(n, src.size());
  TARNIVEL_DISPATCH(add_divided, dst.data(), src.data(), n, c);
}
void pair_update(std::span<float> a, std::span<float> b, std::size_t n, float g) {
  check_prefix(n, a.size());
  check_prefix(n, b.size());
  TARNIVEL_DISPATCH(pair_update, a.data(), b.data(), n, g);
}
void accumulate_error(std::span<float> err, std::span<float> out, std::span<const float> in,
                      std::size_t n, float g) {
  check_prefix(n, err.size());
  check_prefix(n, out.size());
  check_prefix(n, in.size());
  TARNIVEL_DISPATCH(accumulate_error, err.data(), out.data(), in.data(), n, g);
}
float mean_divisor(std::size_t count) { return std::max(static_cast<float>(count), 1.0f); }

// ---- batched forms ----

#if defined(__SSE2__)
namespace {

// Four rows' chains in the lanes of one register: for each element j the four rounded products
// h[j] * row[j] are added lane-wise, each lane a plain float addition, so lane r follows exactly the
// sequence of dot(h, rows[r]). Products are formed four elements at a time per row and transposed so
// that one register holds element j of all four rows.
struct Lanes4 {
  const float* r0;
  const float* r1;
  const float* r2;
  const float* r3;
  __m128 acc = _mm_setzero_ps();

  inline void block(const float* h, std::size_t j) {
    const __m128 hv = _mm_loadu_ps(h + j);
    __m128 p0 = _mm_mul_ps(hv, _mm_loadu_ps(r0 + j));
    __m128 p1 = _mm_mul_ps(hv, _mm_loadu_ps(r1 + j));
    __m128 p2 = _mm_mul_ps(hv, _mm_loadu_ps(r2 + j));
    __m128 p3 = _mm_mul_ps(hv, _mm_loadu_ps(r3 + j));
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);  // p_i now holds element j + i of rows 0..3
    acc = _mm_add_ps(acc, p0);
    acc = _mm_add_ps(acc, p1);
    acc = _mm_add_ps(acc, p2);
    acc = _mm_add_ps(acc, p3);
  }
  inline void single(const float* h, std::size_t j) {
    const __m128 p = _mm_mul_ps(_mm_set1_ps(h[j]), _mm_setr_ps(r0[j], r1[j], r2[j], r3[j]));
    acc = _mm_add_ps(acc, p);
  }
};

}  // namespace
#endif

void dot_many(const float* h, const float* const* rows, std::size_t k, std::size_t n, float* out) {
  TARNIVEL_CHECK(k <= kDotLanes, "too many rows for one batched dot");
#if defined(__SSE2__)
  // Unused lanes read h itself; their results are dropped.
  const float* r[kDotLanes];
  for (std::size_t i = 0; i < kDotLanes; ++i) r[i] = i < k ? rows[i] : h;
  Lanes4 lo{r[0], r[1], r[2], r[3]};
  alignas(16) float res[kDotLanes];
  if (k <= 4) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) lo.block(h, j);
    for (; j < n; ++j) lo.single(h, j);
    _mm_store_ps(res, lo.acc);
  } else {
    Lanes4 hi{r[4], r[5], r[6], r[7]};
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
      lo.block(h, j);
      hi.block(h, j);
    }
    for (; j < n; ++j) {
      lo.single(h, j);
      hi.single(h, j);
    }
    _mm_store_ps(res, lo.acc);
    _mm_store_ps(res + 4, hi.acc);
  }
  for (std::size_t i = 0; i < k; ++i) out[i] = res[i];
#else
  for (std::size_t i = 0; i < k; ++i) out[i] = dot({h, n}, {rows[i], n}, n);
#endif
}

void accumulate_error_many(float* err, float* const* rows, const float* g, std::size_t k,
                           const float* h, std::size_t n) {
  TARNIVEL_DISPATCH(accumulate_error_many, err, rows, g, k, h, n);
}
void add_scaled_many(float* err, const float* const* src, const float* g, std::size_t k,
                     std::size_t n) {
  TARNIVEL_DISPATCH(add_scaled_many, err, src, g, k, n);
}
void add_scaled(float* dst, const float* src, std::size_t n, float g) {
  TARNIVEL_DISPATCH(add_scaled, dst, src, n, g);
}
void copy_floats(float* dst, const float* src, std::size_t n) {
  TARNIVEL_DISPATCH(copy, dst, src, n);
}
// ---- per-thread scratch buffers ----

namespace {

// Each thread owns one hidden and one error buffer. A slot is either home (the buffer sits here,
// empty, capacity kept) or lent to exactly one live ScratchLease.
struct ScratchSlots {
  std::vector<float> buffers[2];
  bool lent[2] = {false, false};
};

ScratchSlots& slots() {
  thread_local ScratchSlots s;
  return s;
}

}  // namespace

ScratchLease::ScratchLease(ScratchLease&& other) noexcept
    : buf_(std::move(other.buf_)), slot_(std::exchange(other.slot_, -1)) {}

ScratchLease::~ScratchLease() {
  if (slot_ < 0) return;
  ScratchSlots& s = slots();
  buf_.clear();
  s.buffers[slot_] = std::move(buf_);
  s.lent[slot_] = false;
}

namespace {

std::vector<float> borrow(int slot, std::size_t n, const char* what) {
  ScratchSlots& s = slots();
  TARNIVEL_CHECK(!s.lent[slot], what);
  std::vector<float> buf = std::move(s.buffers[slot]);
  s.buffers[slot] = std::vector<float>();
  // The buffer comes back emptied, so resizing fills every element with 0.0; memory is only
  // allocated when n exceeds the largest length borrowed before on this thread.
  buf.resize(n, 0.0f);
  s.lent[slot] = true;
  return buf;
}

}  // namespace

ScratchLease take_hidden(std::size_t n) {
  return ScratchLease(borrow(0, n, "hidden scratch buffer is already borrowed by this thread"), 0);
}

ScratchLease take_error(std::size_t n) {
  return ScratchLease(borrow(1, n, "error scratch buffer is already borrowed by this thread"), 1);
}

}  // namespace tarnivel
