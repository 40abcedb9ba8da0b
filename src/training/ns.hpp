#pragma once
// Negative-sampling update kernels, every one in two forms computing the same arithmetic:
// the sequential form works on the model's plain matrices without locks; the multi-worker form
// works on SharedMatrix wrappers under their row-lock stripes (input stripe before output stripe).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "ops/fast_ops.hpp"
#include "ops/vector_ops.hpp"
#include "rng/chacha.hpp"
#include "sampling/alias.hpp"
#include "training/row_copies.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {

// The model's own matrices, used without locks in sequential mode.
struct PlainMatrices {
  std::span<float> input;
  std::span<float> output;
  std::size_t dim = 0;
  // Unlocked threaded mode: this thread's copies of the hottest rows for the sentence (see
  // HotRowCopies); null everywhere else.
  UnlockedRowCopies* copies = nullptr;
  // The fast arithmetic's build when the call asked for it; null: the exact arithmetic.
  const FastOps* fast = nullptr;
};

namespace kernel_detail {

// Row access of the sequential forms: bounds-checked rows of a plain array; locked(r, f) just runs f.
class PlainRows {
 public:
  static constexpr bool kShared = false;
  PlainRows(std::span<float> data, std::size_t dim, const FastOps* fast = nullptr)
      : base_(data.data()), dim_(dim), rows_(dim == 0 ? 0 : data.size() / dim), fast_(fast) {}
  const FastOps* fast() const { return fast_; }
  std::span<float> row(uint64_t r) const {
    TARNIVEL_CHECK(r < rows_, "row index out of range of the weight matrix");
    return {base_ + r * dim_, dim_};
  }
  template <class F>
  decltype(auto) locked(uint64_t, F&& f) const {
    return f();
  }
  void prefetch_stripe(uint64_t) const {}

 private:
  float* base_;
  std::size_t dim_;
  std::size_t rows_;
  const FastOps* fast_;
};

// Row access of the sequential forms in unlocked threaded mode: plain rows, except the rows this
// thread holds copies of for the sentence.
class CopiedRows {
 public:
  static constexpr bool kShared = false;
  CopiedRows(std::span<float> data, std::size_t dim, HotRowCopies& copies, const FastOps* fast)
      : copies_(&copies), dim_(dim), rows_(dim == 0 ? 0 : data.size() / dim), fast_(fast) {}
  const FastOps* fast() const { return fast_; }
  std::span<float> row(uint64_t r) const {
    TARNIVEL_CHECK(r < rows_, "row index out of range of the weight matrix");
    return {copies_->row(r), dim_};
  }
  template <class F>
  decltype(auto) locked(uint64_t, F&& f) const {
    return f();
  }
  void prefetch_stripe(uint64_t) const {}

 private:
  HotRowCopies* copies_;
  std::size_t dim_;
  std::size_t rows_;
  const FastOps* fast_;
};

// Calls f(in, out) with the row access of plain matrices: copied rows when m carries copies.
template <class F>
decltype(auto) with_plain_rows(const PlainMatrices& m, F&& f) {
  if (m.copies == nullptr) {
    return f(PlainRows(m.input, m.dim, m.fast), PlainRows(m.output, m.dim, m.fast));
  }
  return f(CopiedRows(m.input, m.dim, m.copies->input, m.fast),
           CopiedRows(m.output, m.dim, m.copies->output, m.fast));
}

// Row access of the multi-worker forms: rows of a SharedMatrix; locked(r, f) runs f holding r's
// stripe. With copies (the thread's open HotRowScope), a hot row is the thread's copy, which takes
// no stripe; copies must hold whole rows.
class SharedRows {
 public:
  static constexpr bool kShared = true;
  explicit SharedRows(const SharedMatrix& m, LockedRowCopies* copies = nullptr)
      : m_(&m), copies_(copies) {}
  // The multi-worker forms keep the exact arithmetic.
  const FastOps* fast() const { return nullptr; }
  std::span<float> row(uint64_t r) const {
    if (copies_ != nullptr && copies_->is_hot(r)) return {copies_->acquire(r), copies_->width()};
    return m_->row(r);
  }
  template <class F>
  decltype(auto) locked(uint64_t r, F&& f) const {
    if (copies_ != nullptr && copies_->is_hot(r)) return f();
    return m_->with_stripe(r, f);
  }
  void prefetch_stripe(uint64_t r) const {
    if (copies_ == nullptr || !copies_->is_hot(r)) m_->prefetch_stripe(r);
  }

 private:
  const SharedMatrix* m_;
  LockedRowCopies* copies_;
};

// One step against output row o over n components, under o's output stripe (a no-op lock for
// plain rows): d = dot(hidden, out[o]); nothing more when n is 0; else err += g*out[o] (old values)
// and out[o] += g*hidden.
template <class Rows>
void output_step_on(std::span<const float> hidden, const Rows& out, uint64_t o, std::size_t n,
                    std::span<float> err, float label, float lr) {
  const std::span<float> row = out.row(o);
  out.locked(o, [&] {
    if (const FastOps* fast = out.fast(); fast != nullptr) {
      if (n == 0) return;
      TARNIVEL_CHECK(n <= hidden.size() && n <= row.size() && n <= err.size(),
                     "prefix length exceeds vector length");
      float* rows[1] = {row.data()};
      const float g = logistic_gradient(fast->dot(hidden.data(), rows[0], n), label, lr);
      fast->accumulate_error_many(err.data(), rows, &g, 1, hidden.data(), n);
      return;
    }
    const float d = dot(hidden, row, n);
    if (n == 0) return;
    const float g = logistic_gradient(d, label, lr);
    accumulate_error(err, row, hidden, n, g);
  });
}

// Prefetches the cache lines of p[0..n) with intent to write (PREFETCHW; executed as a no-op by
// x86 processors without it).
inline void prefetch_for_write(const float* p, std::size_t n) {
#if defined(__x86_64__)
  const char* bytes = reinterpret_cast<const char*>(p);
  for (std::size_t off = 0; off < n * sizeof(float); off += 64) {
    __asm__ volatile("prefetchw %0" : : "m"(*(bytes + off)));
  }
#else
  (void)p;
  (void)n;
#endif
}

// Whether a word occurs more than once in `words`.
bool has_repeats(std::span<const uint64_t> words);

// This thread's buffer for row snapshots of the multi-worker batched steps: room for `floats`
// values, kept for the thread's lifetime (it only grows, so steady training allocates nothing).
float* snapshot_buffer(std::size_t floats);

// output_step_on for k <= kDotLanes distinct targets in order, with n >= 1: the same values as the
// k separate steps. Since the rows are distinct, step r's dot reads a row no earlier step of the
// batch has written (and `hidden`, which no step writes), so all dots can run first, side by side;
// the error and row updates then follow in step order in one pass.
// The multi-worker form copies the rows under their output stripes, computes on the copies, and
// adds g * hidden to each row again under its stripe: alone on the matrices that gives the same
// bits, and the stripes are held only for the copies or the updates instead of a whole step each,
// which matters for the rows every thread keeps touching (the tree's top nodes, the most frequent
// words).
template <class Rows>
void output_batch_on(std::span<const float> hidden, const Rows& out, const uint64_t* targets,
                     const float* labels, std::size_t k, std::size_t n, std::span<float> err,
                     float lr) {
  TARNIVEL_CHECK(n <= hidden.size() && n <= err.size() && k <= kDotLanes,
                 "prefix length exceeds vector length");
  const float* rows[kDotLanes] = {};
  float* live[kDotLanes] = {};
  float d[kDotLanes];
  float g[kDotLanes];
  for (std::size_t r = 0; r < k; ++r) {
    const std::span<float> row = out.row(targets[r]);
    TARNIVEL_CHECK(n <= row.size(), "prefix length exceeds vector length");
    live[r] = row.data();
    rows[r] = live[r];
  }
  if constexpr (Rows::kShared) {
    // Ask for the rows' cache lines in exclusive state up front: they are read now and written a
    // little later, and another thread has often just written them (the top nodes of the tree, the
    // most frequent words), so a plain read would fetch a shared copy and the write would have to
    // fetch ownership a second time. The stripes' lock lines likewise, before each round of holds:
    // fetched one by one by the lock exchanges they would each stall the thread for a transfer
    // from the other core.
    for (std::size_t r = 0; r < k; ++r) {
      out.prefetch_stripe(targets[r]);
      prefetch_for_write(live[r], n);
    }
    float* copies = snapshot_buffer(kDotLanes * n);
    for (std::size_t r = 0; r < k; ++r) {
      out.locked(targets[r], [&] { copy_floats(copies + r * n, live[r], n); });
      rows[r] = copies + r * n;
    }
  }
  const FastOps* fast = out.fast();
  if (fast != nullptr) {
    fast->dot_many(hidden.data(), rows, k, n, d);
  } else {
    dot_many(hidden.data(), rows, k, n, d);
  }
  for (std::size_t r = 0; r < k; ++r) g[r] = logistic_gradient(d[r], labels[r], lr);
  if constexpr (Rows::kShared) {
    for (std::size_t r = 0; r < k; ++r) out.prefetch_stripe(targets[r]);
    add_scaled_many(err.data(), rows, g, k, n);
    for (std::size_t r = 0; r < k; ++r) {
      out.locked(targets[r], [&] { add_scaled(live[r], hidden.data(), n, g[r]); });
    }
  } else if (fast != nullptr) {
    fast->accumulate_error_many(err.data(), live, g, k, hidden.data(), n);
  } else {
    accumulate_error_many(err.data(), live, g, k, hidden.data(), n);
  }
}

// output_step_on for each of the k targets in order (n >= 1), run as consecutive batches of
// distinct rows: a batch ends before a row that it already holds (that step must see the earlier
// step's update) or when it is full. The same values as k separate steps.
template <class Rows>
void output_steps_on(std::span<const float> hidden, const Rows& out, const uint64_t* targets,
                     const float* labels, std::size_t k, std::size_t n, std::span<float> err,
                     float lr) {
  std::size_t start = 0;
  while (start < k) {
    std::size_t end = start + 1;
    while (end < k && end - start < kDotLanes &&
           std::find(targets + start, targets + end, targets[end]) == targets + end) {
      ++end;
    }
    output_batch_on(hidden, out, targets + start, labels + start, end - start, n, err, lr);
    start = end;
  }
}

}  // namespace kernel_detail

// The negative sample to train: the drawn index, or (target + 1) mod table size when the draw hit
// the positive target itself.
inline uint64_t replace_target(uint64_t drawn, uint64_t target, std::size_t table_size) {
  return drawn == target ? (target + 1) % table_size : drawn;
}

// One skip-gram step on input row `a` and output row `b` (both full rows) for every width in
// `levels`, in list order; a width not wider than the last one processed is skipped. The dot
// product and squared norms of the updated prefix are carried forward instead of re-read.
// `segment_sums` selects the multi-worker order: each new segment is summed from 0.0 and then
// added to the carried values (instead of continuing the carried sums element by element).
void level_pair_update(std::span<float> a, std::span<float> b, std::span<const uint64_t> levels,
                       float label, float lr_eff, bool segment_sums = false);

// One CBOW/hierarchical-softmax step against output row `o` over n components: d = dot(hidden,
// out[o]); nothing more when n is 0; else err += g*out[o] and out[o] += g*hidden.
// The multi-worker form holds o's output stripe for the step.
void output_step(std::span<const float> hidden, const PlainMatrices& m, uint64_t o, std::size_t n,
                 std::span<float> err, float label, float lr);
void output_step(std::span<const float> hidden, const SharedMatrix& output, uint64_t o,
                 std::size_t n, std::span<float> err, float label, float lr);

// Skip-gram with negative sampling over all levels: positive target `context`, then `negative`
// samples from `table` drawn one at a time from `stream`, each with rate lr / mean_divisor(number
// of levels). No table (or an empty one) means no samples and an untouched stream.
// The multi-worker form holds the centre's input stripe for the whole step and each target's output
// stripe around its update (a hot row of the thread's open HotRowScope is its copy: no stripe).
void sg_negative_step(const PlainMatrices& m, uint64_t center, uint64_t context,
                      uint64_t negative, std::span<const uint64_t> levels, float lr,
                      const AliasTable* table, ChaChaStream& stream);
void sg_negative_step(const SharedMatrix& input, const SharedMatrix& output, uint64_t center,
                      uint64_t context, uint64_t negative, std::span<const uint64_t> levels,
                      float lr, const AliasTable* table, ChaChaStream& stream);

// CBOW with negative sampling for one level of width `level` with the already divided rate:
// hidden = sum (or mean) of the context prefixes in list order, positive `target` then `negative`
// samples, the accumulated error added back onto every context occurrence.
// The multi-worker form locks each context word's input stripe one at a time (while summing and
// while adding the error back) and each target's output stripe around its output_step (a hot row of
// the thread's open HotRowScope is its copy: no stripe).
void cbow_negative_step(const PlainMatrices& m, std::span<const uint64_t> context_words,
                        uint64_t target, uint64_t negative, std::size_t level, float lr_level,
                        bool cbow_mean, const AliasTable* table, ChaChaStream& stream);
void cbow_negative_step(const SharedMatrix& input, const SharedMatrix& output,
                        std::span<const uint64_t> context_words, uint64_t target,
                        uint64_t negative, std::size_t level, float lr_level, bool cbow_mean,
                        const AliasTable* table, ChaChaStream& stream);

// All widths of `levels` at once, in list order: the same values (and the same stream draws) as one
// cbow_negative_step per width (the multi-worker form: when alone on the matrices). With distinct
// context words each context row is visited once per width boundary (this width's error, the next
// width's prefix) instead of twice, and the multi-worker form takes its stripe once; a context that
// repeats a word runs one call per width.
void cbow_negative_levels(const PlainMatrices& m, std::span<const uint64_t> context_words,
                          uint64_t target, uint64_t negative, std::span<const uint64_t> levels,
                          float lr_level, bool cbow_mean, const AliasTable* table,
                          ChaChaStream& stream);
void cbow_negative_levels(const SharedMatrix& input, const SharedMatrix& output,
                          std::span<const uint64_t> context_words, uint64_t target,
                          uint64_t negative, std::span<const uint64_t> levels, float lr_level,
                          bool cbow_mean, const AliasTable* table, ChaChaStream& stream);

}  // namespace tarnivel
