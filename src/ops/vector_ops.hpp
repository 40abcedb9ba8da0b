#pragma once
// Vector primitives with a fixed order of float32 operations (sequential sums, every product rounded
// before it is added, no fused multiply-add) and the per-thread scratch buffers the kernels borrow.
// Each operation touches components 0..n-1 only; a prefix longer than a vector is an internal error.
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace tarnivel {

// sum_j a[j]*b[j], one float accumulator, j ascending.
float dot(std::span<const float> a, std::span<const float> b, std::size_t n);
// dst[j] += src[j]
void add_into(std::span<float> dst, std::span<const float> src, std::size_t n);
// dst[j] /= c
void divide_by(std::span<float> dst, std::size_t n, float c);
// dst[j] += src[j] / c
void add_divided(std::span<float> dst, std::span<const float> src, std::size_t n, float c);
// lr * (label - 1 / (expf(-x) + 1)), each step rounded to float. Defined here so that the kernels
// inline everything but the C library's expf.
inline float logistic_gradient(float x, float label, float lr) {
  const float e = expf(-x);
  const float s = 1.0f / (e + 1.0f);
  const float diff = label - s;
  return lr * diff;
}
// After a level's gradient g: the pair's prefix dot product and squared norms after the update,
// from the values before it (exact in real arithmetic), evaluated in this fixed order so that every
// caller carries the same bits.
inline void carry_pair_statistics(float& dot, float& sq_a, float& sq_b, float g) {
  const float gg = g * g;
  const float two_g = g + g;
  const float dot_new = (sq_a + sq_b) * g + dot * (gg + 1.0f);
  const float a_new = sq_b * gg + (sq_a + dot * two_g);
  const float b_new = sq_a * gg + (dot * two_g + sq_b);
  dot = dot_new;
  sq_a = a_new;
  sq_b = b_new;
}

// a[j] = a0 + g*b0; b[j] = b0 + g*a0 (old values).
void pair_update(std::span<float> a, std::span<float> b, std::size_t n, float g);
// err[j] += g*out0; out[j] = out0 + g*in[j].
void accumulate_error(std::span<float> err, std::span<float> out, std::span<const float> in,
                      std::size_t n, float g);
// max(float(count), 1.0f)
float mean_divisor(std::size_t count);

// Whether the processor can run the AVX2 build of the element-wise operations (x86-64 only).
bool wide_vectors_available();
// Selects the AVX2 build (when available) or the baseline build of the element-wise operations for
// the whole process; returns the previous selection. Both give the same bits: tests compare them.
bool use_wide_vectors(bool on);

// ---- batched forms for the kernels (raw pointers: the callers have checked every row and prefix) ----

// Most rows dot_many runs side by side.
inline constexpr std::size_t kDotLanes = 8;

// out[r] = dot(h, rows[r], n) for r < k <= kDotLanes: every row has its own accumulator, summed
// left to right from rounded products exactly as dot() does, so each result has dot()'s bits. The k
// independent chains advance together, one row per vector lane, so the latency of a float add is
// paid once per element for all of them instead of once per element and row.
void dot_many(const float* h, const float* const* rows, std::size_t k, std::size_t n, float* out);

// For r = 0 .. k-1 in order: accumulate_error(err, rows[r], h, n, g[r]). The rows must be
// distinct and alias neither err nor h (then every element sees the same operations in the same
// order as the separate calls).
void accumulate_error_many(float* err, float* const* rows, const float* g, std::size_t k,
                           const float* h, std::size_t n);

// For r = 0 .. k-1 in order: err[j] = err[j] + g[r] * src[r][j] (the error half of
// accumulate_error_many, for callers that update the rows themselves).
void add_scaled_many(float* err, const float* const* src, const float* g, std::size_t k,
                     std::size_t n);

// dst[j] = dst[j] + g * src[j] (the row half of accumulate_error).
void add_scaled(float* dst, const float* src, std::size_t n, float g);

// dst[j] = src[j] for j < n: row snapshots, a few hundred bytes each, where a library memmove
// spends more on choosing its strategy than on the copy.
void copy_floats(float* dst, const float* src, std::size_t n);

// A borrowed per-thread scratch buffer: all zeros and `n` long when taken; given back (emptied,
// capacity kept) when the lease ends. Borrowing a buffer the thread already lends is an internal error.
class ScratchLease {
 public:
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ScratchLease(ScratchLease&& other) noexcept;
  ~ScratchLease();
  std::span<float> span() { return {buf_.data(), buf_.size()}; }
  float* data() { return buf_.data(); }
  std::size_t size() const { return buf_.size(); }

 private:
  friend ScratchLease take_hidden(std::size_t n);
  friend ScratchLease take_error(std::size_t n);
  ScratchLease(std::vector<float>&& buf, int slot) : buf_(std::move(buf)), slot_(slot) {}
  std::vector<float> buf_;
  int slot_;  // 0 hidden, 1 error, -1 moved from
};

ScratchLease take_hidden(std::size_t n);
ScratchLease take_error(std::size_t n);

}  // namespace tarnivel
