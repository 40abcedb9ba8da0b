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

float logistic_gradient(float x, float label, float lr) {
  const float e = expf(-x);
  const float s = 1.0f / (e + 1.0f);
  const float diff = label - s;
  return lr * diff;
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
