#pragma once
// Unlocked threaded training: a thread's own copies of the rows that nearly every example of every
// thread updates.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnivel {

// Copies of the rows [lo, lo + count) of one matrix, each taken the first time the thread touches
// the row after a write-back. The examples read and update the copy with exactly the arithmetic
// they would apply to the row; write_back() hands every copy to the shared row: the copy itself
// when the row still holds what was copied (so a thread alone gets the values of updating the row
// in place, bit for bit), otherwise the row plus the copy's change since it was taken, which keeps
// the other threads' updates made meanwhile (unless one writes back the same row at the same moment:
// the write-back is as unlocked as the rest of this mode). Without the copies, threads updating the
// same rows on nearly every example move those rows' cache lines between the cores many times per
// example.
class HotRowCopies {
 public:
  // From now on, covers rows [lo, lo + count) of `matrix` (rows of `dim` floats). Nothing changes
  // when it already does; copies held for another matrix or range are discarded.
  void cover(std::span<float> matrix, std::size_t dim, std::size_t lo, std::size_t count);

  // Row r: this thread's copy for a covered row, otherwise the shared row itself.
  float* row(uint64_t r) {
    if (r - lo_ >= count_) return base_ + r * dim_;
    const int32_t s = slot_[r - lo_];
    return s >= 0 ? copies_.data() + static_cast<std::size_t>(s) * dim_ : acquire(r);
  }

  void write_back();
  void discard();

 private:
  float* acquire(uint64_t r);

  float* base_ = nullptr;
  std::size_t dim_ = 0;
  uint64_t lo_ = 0;
  uint64_t count_ = 0;
  std::vector<int32_t> slot_;   // per covered row: its copy's index, -1 when not copied
  std::vector<uint64_t> used_;  // copied rows, in the order of their copies
  std::vector<float> copies_;   // count x dim: the rows as updated by this thread
  std::vector<float> starts_;   // count x dim: the rows as they were copied
};

// One thread's copies of both matrices, and the tokens it trained since it last wrote them back.
struct UnlockedRowCopies {
  HotRowCopies input;
  HotRowCopies output;
  uint64_t tokens = 0;

  void write_back() {
    input.write_back();
    output.write_back();
    tokens = 0;
  }
};

// Rows per matrix a thread copies in unlocked mode, for rows of `dim` floats:
// TARNIVEL_UNLOCKED_HOT_ROWS when it is a plain decimal number up to 65536 (0 turns the copies
// off), otherwise 1024; at most as many as fit 1 MiB (copies and their starting values).
std::size_t unlocked_hot_rows(std::size_t dim);

// Tokens a thread trains between write-backs of its copies in unlocked mode.
inline constexpr uint64_t kUnlockedWriteBackTokens = 4096;

}  // namespace tarnivel
