#include "weights/shared_matrix.hpp"

#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "common/error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnivel {

namespace {

inline void cpu_relax() {
#if defined(__SSE2__)
  _mm_pause();
#endif
}

}  // namespace

void StripeLock::lock_contended() {
  // Spin on a plain load (no cache-line ownership traffic while the holder works) and try the
  // exchange only when the lock looks free.
  unsigned attempts = 0;
  do {
    while (locked_.load(std::memory_order_relaxed)) {
      ++attempts;
      if (attempts < 256) {
        cpu_relax();
      } else if (attempts < 320) {
        std::this_thread::yield();
      } else {
        // The holder is most likely preempted: free this core for a while.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    }
  } while (locked_.exchange(true, std::memory_order_acquire));
}

void StripeLock::fail_broken() {
  unlock();
  internal_error("row lock stripe is broken: an earlier holder failed while holding it");
}

SharedMatrix::RowGuard::RowGuard(StripeLock* lock)
    : lock_(lock), uncaught_(std::uncaught_exceptions()) {}

SharedMatrix::RowGuard::RowGuard(RowGuard&& other) noexcept
    : lock_(std::exchange(other.lock_, nullptr)), uncaught_(other.uncaught_) {}

SharedMatrix::RowGuard::~RowGuard() {
  if (lock_ == nullptr) return;
  // More exceptions in flight than when the lock was taken: the holder is being unwound and the
  // rows of this stripe may be half updated.
  if (std::uncaught_exceptions() > uncaught_) lock_->mark_broken();
  lock_->unlock();
}

SharedMatrix SharedMatrix::wrap(std::vector<float>&& array, std::size_t dim) {
  SharedMatrix m;
  m.storage_ = std::make_shared<Storage>();
  m.storage_->data = std::move(array);
  m.base_ = m.storage_->data.data();
  m.dim_ = dim;
  m.rows_ = dim == 0 ? 0 : m.storage_->data.size() / dim;
  return m;
}

std::span<float> SharedMatrix::row(std::size_t r) const {
  TARNIVEL_CHECK(r < rows_, "row index out of range of the shared matrix");
  return {base_ + r * dim_, dim_};
}

std::span<float> SharedMatrix::row_prefix(std::size_t r, std::size_t n) const {
  TARNIVEL_CHECK(r < rows_, "row index out of range of the shared matrix");
  TARNIVEL_CHECK(n <= dim_, "prefix longer than the row of the shared matrix");
  return {base_ + r * dim_, n};
}

SharedMatrix::RowGuard SharedMatrix::lock_row(std::size_t r) const {
  StripeLock* stripe = &stripe_of(r);
  stripe->lock();
  return RowGuard(stripe);
}

void SharedMatrix::out_of_range() { internal_error("row index out of range of the shared matrix"); }

std::vector<float> SharedMatrix::into_array() {
  TARNIVEL_CHECK(storage_ != nullptr, "shared matrix has no data to give back");
  TARNIVEL_CHECK(storage_.use_count() == 1, "shared matrix is still held by another wrapper");
  std::vector<float> out = std::move(storage_->data);
  storage_.reset();
  base_ = nullptr;
  dim_ = 0;
  rows_ = 0;
  return out;
}

}  // namespace tarnivel
