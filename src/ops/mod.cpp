#include "ops/mod.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnivel {

namespace {

inline void check_prefix(std::size_t n, std::size_t size) {
  TARNIVEL_CHECK(n <= size, "prefix length exceeds vector length");
}

}  // namespace

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
  float* d = dst.data();
  const float* s = src.data();
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] + s[j];
}

void divide_by(std::span<float> dst, std::size_t n, float c) {
  check_prefix(n, dst.size());
  float* d = dst.data();
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] / c;
}

void add_divided(std::span<float> dst, std::span<const float> src, std::size_t n, float c) {
  check_prefix(n, dst.size());
  check_prefix(n, src.size());
  float* d = dst.data();
  const float* s = src.data();
  for (std::size_t j = 0; j < n; ++j) d[j] = d[j] + s[j] / c;
}

void pair_update(std::span<float> a, std::span<float> b, std::size_t n, float g) {
  check_prefix(n, a.size());
  check_prefix(n, b.size());
  float* pa = a.data();
  float* pb = b.data();
  for (std::size_t j = 0; j < n; ++j) {
    const float a0 = pa[j];
    const float b0 = pb[j];
    pa[j] = a0 + g * b0;
    pb[j] = b0 + g * a0;
  }
}

void accumulate_error(std::span<float> err, std::span<float> out, std::span<const float> in,
                      std::size_t n, float g) {
  check_prefix(n, err.size());
  check_prefix(n, out.size());
  check_prefix(n, in.size());
  float* e = err.data();
  float* o = out.data();
  const float* h = in.data();
  for (std::size_t j = 0; j < n; ++j) {
    const float o0 = o[j];
    e[j] = e[j] + g * o0;
    o[j] = o0 + g * h[j];
  }
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
  std::size_t j = 0;
#if defined(__SSE2__)
  for (; j + 4 <= n; j += 4) {
    __m128 e = _mm_loadu_ps(err + j);
    const __m128 hv = _mm_loadu_ps(h + j);
    for (std::size_t r = 0; r < k; ++r) {
      const __m128 gv = _mm_set1_ps(g[r]);
      const __m128 o = _mm_loadu_ps(rows[r] + j);
      e = _mm_add_ps(e, _mm_mul_ps(gv, o));
      _mm_storeu_ps(rows[r] + j, _mm_add_ps(o, _mm_mul_ps(gv, hv)));
    }
    _mm_storeu_ps(err + j, e);
  }
#endif
  for (; j < n; ++j) {
    float e = err[j];
    for (std::size_t r = 0; r < k; ++r) {
      const float o0 = rows[r][j];
      e = e + g[r] * o0;
      rows[r][j] = o0 + g[r] * h[j];
    }
    err[j] = e;
  }
}

void add_scaled_many(float* err, const float* const* src, const float* g, std::size_t k,
                     std::size_t n) {
  std::size_t j = 0;
#if defined(__SSE2__)
  for (; j + 4 <= n; j += 4) {
    __m128 e = _mm_loadu_ps(err + j);
    for (std::size_t r = 0; r < k; ++r) {
      e = _mm_add_ps(e, _mm_mul_ps(_mm_set1_ps(g[r]), _mm_loadu_ps(src[r] + j)));
    }
    _mm_storeu_ps(err + j, e);
  }
#endif
  for (; j < n; ++j) {
    float e = err[j];
    for (std::size_t r = 0; r < k; ++r) e = e + g[r] * src[r][j];
    err[j] = e;
  }
}

void add_scaled(float* dst, const float* src, std::size_t n, float g) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128 gv = _mm_set1_ps(g);
  for (; j + 4 <= n; j += 4) {
    _mm_storeu_ps(dst + j, _mm_add_ps(_mm_loadu_ps(dst + j), _mm_mul_ps(gv, _mm_loadu_ps(src + j))));
  }
#endif
  for (; j < n; ++j) dst[j] = dst[j] + g * src[j];
}

void copy_floats(float* dst, const float* src, std::size_t n) {
  std::size_t j = 0;
#if defined(__SSE2__)
  for (; j + 4 <= n; j += 4) _mm_storeu_ps(dst + j, _mm_loadu_ps(src + j));
#endif
  for (; j < n; ++j) dst[j] = src[j];
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
