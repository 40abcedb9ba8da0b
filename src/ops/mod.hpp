#pragma once
// Vector primitives with a fixed order of float32 operations (sequential sums, every product rounded
// before it is added, no fused multiply-add) and the per-thread scratch buffers the kernels borrow.
// Each operation touches components 0..n-1 only; a prefix longer than a vector is an internal error.
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
// lr * (label - 1 / (expf(-x) + 1)), each step rounded to float.
float logistic_gradient(float x, float label, float lr);
// a[j] = a0 + g*b0; b[j] = b0 + g*a0 (old values).
void pair_update(std::span<float> a, std::span<float> b, std::size_t n, float g);
// err[j] += g*out0; out[j] = out0 + g*in[j].
void accumulate_error(std::span<float> err, std::span<float> out, std::span<const float> in,
                      std::size_t n, float g);
// max(float(count), 1.0f)
float mean_divisor(std::size_t count);

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
