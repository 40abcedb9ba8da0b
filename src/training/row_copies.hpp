#pragma once
// Threaded training: a thread's own copies of the rows that nearly every example of every thread
// updates, in both locking modes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "weights/shared_matrix.hpp"

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

// Rows per matrix a thread copies in unlocked mode, for rows of `dim` floats: `setting` (the call's
// TARNIVEL_UNLOCKED_HOT_ROWS, 1024 by default; 0 turns the copies off), at most as many as fit
// 1 MiB (copies and their starting values).
std::size_t unlocked_hot_rows(std::size_t setting, std::size_t dim);

// Tokens a thread trains between write-backs of its copies in unlocked mode.
inline constexpr uint64_t kUnlockedWriteBackTokens = 4096;

// ---- row-locked training ----

// This thread's copies of the hot rows [lo, hi) of one shared matrix (their first `width`
// elements), for the multi-worker kernels. A row is copied under its stripe the first time the
// thread needs it; write_back() hands each copy back under its stripe: the copy itself when the row
// still holds what was copied (bit for bit the values of updating the row directly), otherwise the
// row plus the copy's change since it was taken, which keeps the other threads' updates.
class LockedRowCopies {
 public:
  bool active_for(const SharedMatrix& m, std::size_t widest) const {
    return m_ != nullptr && base_ == m.all_rows().data() && widest <= width_;
  }
  bool is_hot(uint64_t r) const { return r >= lo_ && r < hi_; }
  std::size_t width() const { return width_; }

  // The first or the last rows of m, as many as the budget allows for rows of `width` floats.
  void open(const SharedMatrix& m, std::size_t width, bool last);
  // This thread's copy of hot row r, copied under its stripe on first use (the caller holds no
  // stripe of this matrix).
  float* acquire(uint64_t r) {
    const int32_t slot = slot_[r - lo_];
    return slot >= 0 ? copies_.data() + static_cast<std::size_t>(slot) * width_ : copy_row(r);
  }
  // The copy of row r if it has been acquired, else nullptr (takes no stripe).
  float* find(uint64_t r) {
    if (!is_hot(r)) return nullptr;
    const int32_t slot = slot_[r - lo_];
    return slot < 0 ? nullptr : copies_.data() + static_cast<std::size_t>(slot) * width_;
  }
  void write_back();
  void close();

 private:
  float* copy_row(uint64_t r);

  const SharedMatrix* m_ = nullptr;
  const float* base_ = nullptr;
  std::size_t width_ = 0;
  uint64_t lo_ = 0;
  uint64_t hi_ = 0;
  std::vector<int32_t> slot_;   // per hot row: its slot, or -1
  std::vector<uint64_t> used_;  // per slot: its row
  std::vector<float> copies_;   // per slot: this thread's values
  std::vector<float> starts_;   // per slot: the row as copied
};

// The copies of this thread's open HotRowScope, if any.
struct LockedHotRows {
  LockedRowCopies outputs;
  LockedRowCopies inputs;
  std::size_t examples = 0;

  // Called at the start of every example of the scope, holding no stripe: writes the copies back
  // every kHotRowExamples examples.
  void begin_example();
  void write_back() {
    inputs.write_back();
    outputs.write_back();
  }
  void close() {
    inputs.close();
    outputs.close();
  }
};
LockedHotRows& locked_hot_rows();

// While a scope is open on a thread, the multi-worker kernels of that thread keep their own copies
// of the rows that nearly every example of every thread updates, instead of taking each one's
// stripe and moving it between cores on every example: the most frequent words' rows in `input`
// (its first rows: the vocabulary is sorted by descending count) and, in `output`, the tree's top
// nodes for hierarchical softmax (its last, highest-numbered rows: the root and the nodes just
// under it) or the most frequent words' rows for negative sampling (the most drawn samples). The
// examples read and update a copy with exactly the arithmetic they would apply to the row (a hot row
// takes no stripe); close() (and every 1024 examples) writes the copies back (LockedRowCopies). A
// thread alone thus gets the values of updating the rows directly, bit for bit; other threads see
// this thread's updates of those rows, and it sees theirs, at most one scope (or 1024 examples)
// late. Softmax copies are widest(levels) long, negative-sampling copies whole rows; at most 255
// rows per matrix (fewer for wide rows). One scope per thread at a time; the destructor discards
// copies not written back (a scope closed on a failure path without close()).
class HotRowScope {
 public:
  enum class Objective { kSoftmax, kNegativeSampling };
  HotRowScope(const SharedMatrix& input, const SharedMatrix& output,
              std::span<const uint64_t> levels, Objective objective = Objective::kSoftmax);
  ~HotRowScope();
  HotRowScope(const HotRowScope&) = delete;
  HotRowScope& operator=(const HotRowScope&) = delete;
  void close();

 private:
  bool open_ = false;
};

}  // namespace tarnivel
