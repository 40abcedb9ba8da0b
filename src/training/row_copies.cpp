#include "training/row_copies.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/setting.hpp"

namespace tarnivel {

void HotRowCopies::cover(std::span<float> matrix, std::size_t dim, std::size_t lo,
                         std::size_t count) {
  const std::size_t rows = dim == 0 ? 0 : matrix.size() / dim;
  lo = std::min(lo, rows);
  count = std::min(count, rows - lo);
  if (matrix.data() == base_ && dim == dim_ && lo == lo_ && count == count_) return;
  discard();
  base_ = matrix.data();
  dim_ = dim;
  lo_ = lo;
  count_ = count;
  if (slot_.size() < count) slot_.resize(count, -1);
  if (copies_.size() < count * dim) {
    copies_.resize(count * dim);
    starts_.resize(count * dim);
  }
  used_.reserve(count);
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

std::size_t unlocked_hot_rows(std::size_t dim) {
  // Default from two-worker runs on a two-core virtual machine, alternating settings: while its
  // two processors sat on cores that exchange cache lines quickly, copying 1024 rows cost at most
  // 5% (CBOW with negative sampling) and nothing measurable elsewhere; while they sat far apart,
  // the copies cut the CPU seconds per token by up to 2x (skip-gram with hierarchical softmax,
  // whose tree's top nodes are on every example) and by 1.4x for CBOW with negative sampling.
  constexpr std::size_t kDefault = 1024;
  constexpr std::size_t kBudgetBytes = std::size_t{1} << 20;
  const auto rows = static_cast<std::size_t>(
      plain_decimal_setting("TARNIVEL_UNLOCKED_HOT_ROWS", 65536).value_or(kDefault));
  return std::min(rows, kBudgetBytes / (2 * sizeof(float) * std::max<std::size_t>(dim, 1)));
}

}  // namespace tarnivel
