#include "training/row_copies.hpp"

#include <algorithm>
#include <exception>
#include <cstdlib>
#include <cstring>

#include "common/error.hpp"
#include "common/setting.hpp"
#include "ops/vector_ops.hpp"
#include "training/ns.hpp"

namespace tarnivel {

void HotRowCopies::cover(std::span<float> matrix, std::size_t dim, std::size_t lo,
                         std::size_t count) {
  const std::size_t rows = dim == 0 ? 0 : matrix.size() / dim;
  lo = std::min(lo, rows);
  count = std::min(count, rows - lo);
  if (matrix.data() == base_ && dim == dim_ && lo == lo_ && count == count_) return;
  discard();
  // Covers no row until the buffers have room for them all: an allocation that fails leaves no
  // range behind whose slots or copies were never allocated.
  base_ = matrix.data();
  dim_ = dim;
  lo_ = lo;
  count_ = 0;
  if (slot_.size() < count) slot_.resize(count, -1);
  // Each buffer on its own: one may have grown before the other failed to.
  if (copies_.size() < count * dim) copies_.resize(count * dim);
  if (starts_.size() < count * dim) starts_.resize(count * dim);
  used_.reserve(count);
  count_ = count;
}

float* HotRowCopies::acquire(uint64_t r) {
  const auto s = static_cast<int32_t>(used_.size());
  slot_[r - lo_] = s;
  used_.push_back(r);
  float* start = starts_.data() + static_cast<std::size_t>(s) * dim_;
  float* copy = copies_.data() + static_cast<std::size_t>(s) * dim_;
  std::memcpy(start, base_ + r * dim_, dim_ * sizeof(float));
  std::memcpy(copy, start, dim_ * sizeof(float));
  return copy;
}

void HotRowCopies::write_back() {
  for (std::size_t s = 0; s < used_.size(); ++s) {
    const uint64_t r = used_[s];
    float* row = base_ + r * dim_;
    const float* copy = copies_.data() + s * dim_;
    const float* start = starts_.data() + s * dim_;
    if (std::memcmp(row, start, dim_ * sizeof(float)) == 0) {
      std::memcpy(row, copy, dim_ * sizeof(float));
    } else {
      for (std::size_t j = 0; j < dim_; ++j) row[j] = row[j] + (copy[j] - start[j]);
    }
    slot_[r - lo_] = -1;
  }
  used_.clear();
}

void HotRowCopies::discard() {
  for (const uint64_t r : used_) slot_[r - lo_] = -1;
  used_.clear();
}

std::size_t unlocked_hot_rows(std::size_t setting, std::size_t dim) {
  constexpr std::size_t kBudgetBytes = std::size_t{1} << 20;
  return std::min(setting, kBudgetBytes / (2 * sizeof(float) * std::max<std::size_t>(dim, 1)));
}

namespace {

// Rows copied per matrix and thread by a HotRowScope: as many as fit this budget (copy and starting
// value of each), at least 16 and at most 255, and never more than kMaxHotRowBytes: the buffers stay
// with the pool thread for the rest of the process, so rows of absurd widths (a million components)
// are not copied at all rather than holding hundreds of megabytes per thread.
constexpr std::size_t kHotRowBytes = 512 * 1024;
constexpr std::size_t kMaxHotRowBytes = 4 * 1024 * 1024;
constexpr std::size_t kMinHotRows = 16;
constexpr std::size_t kMaxHotRows = 255;
// Examples after which the copies are written back even inside a scope: bounds how late the other
// threads see this thread's updates of the hot rows. Each write-back takes one stripe per copied
// row (up to 510), and the next examples take them again to re-copy; every 1024 examples that is
// about one hold per example.
constexpr std::size_t kHotRowExamples = 1024;

}  // namespace

void LockedRowCopies::open(const SharedMatrix& m, std::size_t width, bool last) {
  TARNIVEL_CHECK(m_ == nullptr, "a hot-row scope is already open on this thread");
  const std::size_t rows = m.rows();
  const std::size_t row_bytes = 2 * sizeof(float) * std::max<std::size_t>(width, 1);
  std::size_t count = std::clamp(kHotRowBytes / row_bytes, kMinHotRows, kMaxHotRows);
  count = std::min({count, kMaxHotRowBytes / row_bytes, rows});
  // The buffers first: an allocation that fails leaves the copies closed.
  slot_.assign(count, -1);
  used_.clear();
  used_.reserve(count);
  // Each buffer on its own: one may have grown before the other failed to.
  if (copies_.size() < count * width) copies_.resize(count * width);
  if (starts_.size() < count * width) starts_.resize(count * width);
  m_ = &m;
  base_ = m.all_rows().data();
  width_ = width;
  lo_ = last ? rows - count : 0;
  hi_ = lo_ + count;
}

float* LockedRowCopies::copy_row(uint64_t r) {
  const auto slot = static_cast<int32_t>(used_.size());
  slot_[r - lo_] = slot;
  used_.push_back(r);
  float* start = starts_.data() + static_cast<std::size_t>(slot) * width_;
  const float* row = m_->row_prefix(r, width_).data();
  m_->with_stripe(r, [&] { copy_floats(start, row, width_); });
  float* copy = copies_.data() + static_cast<std::size_t>(slot) * width_;
  copy_floats(copy, start, width_);
  return copy;
}

void LockedRowCopies::write_back() {
  if (m_ == nullptr) return;
  for (const uint64_t r : used_) {
    m_->prefetch_stripe(r);
    kernel_detail::prefetch_for_write(m_->row(r).data(), width_);
  }
  for (std::size_t s = 0; s < used_.size(); ++s) {
    const uint64_t r = used_[s];
    float* row = m_->row(r).data();
    const float* copy = copies_.data() + s * width_;
    const float* start = starts_.data() + s * width_;
    m_->with_stripe(r, [&] {
      if (std::memcmp(row, start, width_ * sizeof(float)) == 0) {
        copy_floats(row, copy, width_);
      } else {
        for (std::size_t j = 0; j < width_; ++j) row[j] = row[j] + (copy[j] - start[j]);
      }
    });
    slot_[r - lo_] = -1;
  }
  used_.clear();
}

void LockedRowCopies::close() {
  m_ = nullptr;
  base_ = nullptr;
  used_.clear();
  lo_ = hi_ = 0;
}

void LockedHotRows::begin_example() {
  if (++examples > kHotRowExamples) {
    write_back();
    examples = 1;
  }
}

LockedHotRows& locked_hot_rows() {
  thread_local LockedHotRows rows;
  return rows;
}

HotRowScope::HotRowScope(const SharedMatrix& input, const SharedMatrix& output,
                         std::span<const uint64_t> levels, Objective objective) {
  uint64_t widest = 0;
  for (const uint64_t level : levels) widest = std::max(widest, level);
  if (widest == 0 || output.rows() == 0 || input.rows() == 0) return;
  const bool softmax = objective == Objective::kSoftmax;
  // Negative sampling's kernels hand whole rows to the pair updates, so its copies are whole rows.
  auto width = [&](const SharedMatrix& m) {
    return softmax ? static_cast<std::size_t>(std::min<uint64_t>(widest, m.dim())) : m.dim();
  };
  if (width(input) == 0) return;
  LockedHotRows& hot = locked_hot_rows();
  hot.outputs.open(output, width(output), softmax);
  try {
    hot.inputs.open(input, width(input), false);
  } catch (...) {
    hot.outputs.close();  // no scope is open: nothing may stay behind on the thread
    throw;
  }
  hot.examples = 0;
  open_ = true;
}

HotRowScope::~HotRowScope() {
  if (open_) locked_hot_rows().close();
}

void HotRowScope::close() {
  if (!open_) return;
  open_ = false;
  LockedHotRows& hot = locked_hot_rows();
  try {
    hot.write_back();
  } catch (...) {
    hot.close();
    throw;
  }
  hot.close();
}

}  // namespace tarnivel
