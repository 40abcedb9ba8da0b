#include "training/ns.hpp"

#include <algorithm>
#include <vector>

namespace tarnivel {

using kernel_detail::output_step_on;
using kernel_detail::SharedRows;

namespace {

bool has_samples(const AliasTable* table) { return table != nullptr && !table->empty(); }

template <bool kSegmentSums>
void level_pair_update_impl(std::span<float> a, std::span<float> b,
                            std::span<const uint64_t> levels, float label, float lr_eff) {
  const std::size_t dim = a.size();
  TARNIVEL_CHECK(b.size() == dim, "input and output rows differ in length");
  float* pa = a.data();
  float* pb = b.data();
  std::size_t prev = 0;
  float dot = 0.0f;
  float sq_a = 0.0f;
  float sq_b = 0.0f;
  for (const uint64_t level : levels) {
    const std::size_t width = static_cast<std::size_t>(std::min<uint64_t>(level, dim));
    if (width <= prev) continue;
    // Three independent sequential chains over the new segment.
    if constexpr (kSegmentSums) {
      float seg_dot = 0.0f;
      float seg_a = 0.0f;
      float seg_b = 0.0f;
      for (std::size_t j = prev; j < width; ++j) {
        seg_dot += pa[j] * pb[j];
        seg_a += pa[j] * pa[j];
        seg_b += pb[j] * pb[j];
      }
      dot = dot + seg_dot;
      sq_a = sq_a + seg_a;
      sq_b = sq_b + seg_b;
    } else {
      for (std::size_t j = prev; j < width; ++j) {
        dot += pa[j] * pb[j];
        sq_a += pa[j] * pa[j];
        sq_b += pb[j] * pb[j];
      }
    }
    const float g = logistic_gradient(dot, label, lr_eff);
    pair_update(a, b, width, g);
    carry_pair_statistics(dot, sq_a, sq_b, g);
    prev = width;
  }
}

// The widest prefix a step over `levels` touches in rows of length dim.
std::size_t widest_of(std::span<const uint64_t> levels, std::size_t dim) {
  uint64_t widest = 0;
  for (const uint64_t level : levels) widest = std::max(widest, level);
  return static_cast<std::size_t>(std::min<uint64_t>(widest, dim));
}

// The samples never depend on the weights, so they are drawn in groups ahead of their updates (the
// stream gives the same values in the same order), and the rows of a group (with their stripes'
// lock lines in the multi-worker form) are requested for writing together before the first update:
// output rows are spread over a matrix larger than the core's own caches, and the frequent words'
// rows and the stripes are what other threads keep writing; fetched one by one, each would stall
// the chain of updates for a transfer.
template <bool kSegmentSums, class Rows>
void sg_negative_impl(const Rows& in, const Rows& out, uint64_t center, uint64_t context,
                      uint64_t negative, std::span<const uint64_t> levels, float lr,
                      const AliasTable* table, ChaChaStream& stream) {
  // Every width in the list counts, also those the update skips.
  const float lr_eff = lr / mean_divisor(levels.size());
  const std::span<float> a = in.row(center);
  const std::size_t widest = widest_of(levels, a.size());
  const uint64_t samples = has_samples(table) ? negative : 0;
  uint64_t targets[kDotLanes];
  float labels[kDotLanes];
  std::size_t k = 0;
  targets[k] = context;
  labels[k++] = 1.0f;
  uint64_t drawn = 0;
  // The fast arithmetic (sequential forms only) visits the levels as segments.
  const FastOps* fast = out.fast();
  PrefixSegment seg_buffer[16];
  std::vector<PrefixSegment> seg_heap;
  PrefixSegment* segs = seg_buffer;
  if (fast != nullptr && levels.size() > std::size(seg_buffer)) {
    seg_heap.resize(levels.size());
    segs = seg_heap.data();
  }
  const std::size_t nseg = fast != nullptr ? prefix_segments(levels, a.size(), segs) : 0;
  LevelShape shape;
  if (fast != nullptr) fast->shape_levels(segs, nseg, &shape);
  kernel_detail::prefetch_for_write(a.data(), widest);
  in.locked(center, [&] {
    for (;;) {
      while (k < kDotLanes && drawn < samples) {
        targets[k] = replace_target(table->sample(stream), context, table->size());
        labels[k++] = 0.0f;
        ++drawn;
      }
      for (std::size_t r = 0; r < k; ++r) {
        out.prefetch_stripe(targets[r]);
        kernel_detail::prefetch_for_write(out.row(targets[r]).data(), widest);
      }
      for (std::size_t r = 0; r < k; ++r) {
        const std::span<float> b = out.row(targets[r]);
        if (fast != nullptr) {
          float* pa = a.data();
          float* pb = b.data();
          fast->level_pairs(&pa, &pb, labels + r, 1, segs, nseg, shape, lr_eff);
          continue;
        }
        out.locked(targets[r],
                   [&] { level_pair_update_impl<kSegmentSums>(a, b, levels, labels[r], lr_eff); });
      }
      if (drawn == samples) return;
      k = 0;
    }
  });
}

// Draws a CBOW step's samples (they never depend on the weights) into targets/labels after the
// positive target, and asks for their rows: they lie anywhere in a matrix larger than the core's
// own caches, so all are requested at once instead of one miss per step (the multi-worker batches
// do this themselves). Returns the number of targets, samples + 1.
template <class Rows>
std::size_t draw_cbow_targets(const Rows& out, uint64_t target, uint64_t samples, std::size_t n,
                              const AliasTable* table, ChaChaStream& stream, uint64_t* targets,
                              float* labels) {
  targets[0] = target;
  labels[0] = 1.0f;
  for (uint64_t k = 1; k <= samples; ++k) {
    targets[k] = replace_target(table->sample(stream), target, table->size());
    labels[k] = 0.0f;
  }
  if constexpr (!Rows::kShared) {
    for (uint64_t k = 0; k <= samples; ++k) {
      kernel_detail::prefetch_for_write(out.row(targets[k]).data(), n);
    }
  }
  return static_cast<std::size_t>(samples) + 1;
}

// The output half of a CBOW negative-sampling step: positive `target` then the samples, against
// `hidden` over n components, the error accumulated into err (zero on entry).
template <class Rows>
void cbow_negative_outputs(std::span<const float> hidden, const Rows& out, uint64_t target,
                           uint64_t negative, std::size_t n, float lr_level,
                           const AliasTable* table, ChaChaStream& stream, std::span<float> err) {
  const uint64_t samples = has_samples(table) ? negative : 0;
  if (n > 0 && samples < kDotLanes) {
    // All samples are drawn first (in the same stream order) and the steps run in batches of
    // distinct rows.
    uint64_t targets[kDotLanes];
    float labels[kDotLanes];
    const std::size_t count =
        draw_cbow_targets(out, target, samples, n, table, stream, targets, labels);
    kernel_detail::output_steps_on(hidden, out, targets, labels, count, n, err, lr_level);
  } else {
    output_step_on(hidden, out, target, n, err, 1.0f, lr_level);
    for (uint64_t k = 0; k < samples; ++k) {
      const uint64_t s = replace_target(table->sample(stream), target, table->size());
      output_step_on(hidden, out, s, n, err, 0.0f, lr_level);
    }
  }
}

// Adds the error onto one context row: divided by the context size for the CBOW mean.
void spread_error(float* row, const float* err, std::size_t n, bool cbow_mean, float divisor) {
  if (cbow_mean) {
    add_divided({row, n}, {err, n}, n, divisor);
  } else {
    add_into({row, n}, {err, n}, n);
  }
}

template <class Rows>
void cbow_negative_impl(const Rows& in, const Rows& out, std::span<const uint64_t> context_words,
                        uint64_t target, uint64_t negative, std::size_t level, float lr_level,
                        bool cbow_mean, const AliasTable* table, ChaChaStream& stream) {
  const std::size_t n = level;
  ScratchLease hidden = take_hidden(n);
  for (const uint64_t c : context_words) {
    const std::span<float> row = in.row(c);
    in.locked(c, [&] { add_into(hidden.span(), row, n); });
  }
  const float divisor = mean_divisor(context_words.size());
  if (cbow_mean) divide_by(hidden.span(), n, divisor);
  ScratchLease err = take_error(n);
  cbow_negative_outputs(hidden.span(), out, target, negative, n, lr_level, table, stream,
                        err.span());
  // A word occurring several times in the context receives the error once per occurrence.
  for (const uint64_t c : context_words) {
    const std::span<float> row = in.row(c);
    in.locked(c, [&] { spread_error(row.data(), err.data(), n, cbow_mean, divisor); });
  }
}

// The row access of a multi-worker negative-sampling example on m: the thread's copies of its hot
// rows when an open HotRowScope covers m with whole rows, else the shared rows under their stripes.
SharedRows shared_rows(const SharedMatrix& m, bool output) {
  LockedHotRows& hot = locked_hot_rows();
  LockedRowCopies& copies = output ? hot.outputs : hot.inputs;
  return SharedRows(m, copies.active_for(m, m.dim()) ? &copies : nullptr);
}

// Called at the start of every multi-worker negative-sampling example (holding no stripe): the open
// scope's periodic write-back.
void begin_shared_example(const SharedMatrix& output) {
  LockedHotRows& hot = locked_hot_rows();
  if (hot.outputs.active_for(output, output.dim())) hot.begin_example();
}

}  // namespace

namespace kernel_detail {

bool has_repeats(std::span<const uint64_t> words) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (std::find(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(i), words[i]) !=
        words.begin() + static_cast<std::ptrdiff_t>(i)) {
      return true;
    }
  }
  return false;
}

float* snapshot_buffer(std::size_t floats) {
  thread_local std::vector<float> buffer;
  if (buffer.size() < floats) buffer.resize(floats);
  return buffer.data();
}

}  // namespace kernel_detail

void level_pair_update(std::span<float> a, std::span<float> b, std::span<const uint64_t> levels,
                       float label, float lr_eff, bool segment_sums) {
  if (segment_sums) {
    level_pair_update_impl<true>(a, b, levels, label, lr_eff);
  } else {
    level_pair_update_impl<false>(a, b, levels, label, lr_eff);
  }
}

void output_step(std::span<const float> hidden, const PlainMatrices& m, uint64_t o, std::size_t n,
                 std::span<float> err, float label, float lr) {
  kernel_detail::with_plain_rows(m, [&](const auto&, const auto& out) {
    output_step_on(hidden, out, o, n, err, label, lr);
  });
}

void output_step(std::span<const float> hidden, const SharedMatrix& output, uint64_t o,
                 std::size_t n, std::span<float> err, float label, float lr) {
  output_step_on(hidden, SharedRows(output), o, n, err, label, lr);
}

void sg_negative_step(const PlainMatrices& m, uint64_t center, uint64_t context,
                      uint64_t negative, std::span<const uint64_t> levels, float lr,
                      const AliasTable* table, ChaChaStream& stream) {
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    sg_negative_impl<false>(in, out, center, context, negative, levels, lr, table, stream);
  });
}

void sg_negative_step(const SharedMatrix& input, const SharedMatrix& output, uint64_t center,
                      uint64_t context, uint64_t negative, std::span<const uint64_t> levels,
                      float lr, const AliasTable* table, ChaChaStream& stream) {
  begin_shared_example(output);
  sg_negative_impl<true>(shared_rows(input, false), shared_rows(output, true), center, context,
                         negative, levels, lr, table, stream);
}

void cbow_negative_step(const PlainMatrices& m, std::span<const uint64_t> context_words,
                        uint64_t target, uint64_t negative, std::size_t level, float lr_level,
                        bool cbow_mean, const AliasTable* table, ChaChaStream& stream) {
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    cbow_negative_impl(in, out, context_words, target, negative, level, lr_level, cbow_mean, table,
                       stream);
  });
}

void cbow_negative_step(const SharedMatrix& input, const SharedMatrix& output,
                        std::span<const uint64_t> context_words, uint64_t target,
                        uint64_t negative, std::size_t level, float lr_level, bool cbow_mean,
                        const AliasTable* table, ChaChaStream& stream) {
  cbow_negative_impl(shared_rows(input, false), shared_rows(output, true), context_words, target,
                     negative, level, lr_level, cbow_mean, table, stream);
}

}  // namespace tarnivel

namespace tarnivel {

namespace {

// All widths of one CBOW example in list order over distinct context words: a context row is final
// for the next width as soon as this width's error is in, so one visit per word adds the error and
// reads the next width's prefix, and the next hidden sum still runs in list order. The same values
// and stream draws as one step per width.
template <class Rows>
void cbow_negative_levels_on(const Rows& in, const Rows& out, std::span<const uint64_t> context_words,
                             uint64_t target, uint64_t negative, std::span<const uint64_t> levels,
                             float lr_level, bool cbow_mean, const AliasTable* table,
                             ChaChaStream& stream) {
  uint64_t widest = 0;
  for (const uint64_t level : levels) widest = std::max(widest, level);
  const auto width = static_cast<std::size_t>(widest);
  const float divisor = mean_divisor(context_words.size());
  ScratchLease hidden = take_hidden(width);
  ScratchLease err = take_error(width);
  // Every width's samples are drawn up front when they fit (the same draws in the same order: no
  // other draw comes between the widths), so the rows of all widths are requested together.
  constexpr std::size_t kDrawnWidths = 4;
  const uint64_t samples = has_samples(table) ? negative : 0;
  const bool drawn = samples < kDotLanes && levels.size() <= kDrawnWidths &&
                     std::find(levels.begin(), levels.end(), uint64_t{0}) == levels.end();
  uint64_t targets[kDrawnWidths][kDotLanes];
  float labels[kDrawnWidths][kDotLanes];
  std::size_t counts[kDrawnWidths] = {};
  if (drawn) {
    for (std::size_t l = 0; l < levels.size(); ++l) {
      counts[l] = draw_cbow_targets(out, target, samples, static_cast<std::size_t>(levels[l]),
                                    table, stream, targets[l], labels[l]);
    }
  }
  auto n = static_cast<std::size_t>(levels[0]);
  for (const uint64_t c : context_words) {
    const float* row = in.row(c).data();
    in.locked(c, [&] { add_into(hidden.span(), {row, n}, n); });
  }
  for (std::size_t l = 0; l < levels.size(); ++l) {
    n = static_cast<std::size_t>(levels[l]);
    const std::size_t next = l + 1 < levels.size() ? static_cast<std::size_t>(levels[l + 1]) : 0;
    if (cbow_mean) divide_by(hidden.span(), n, divisor);
    std::fill(err.data(), err.data() + n, 0.0f);
    if (drawn) {
      kernel_detail::output_steps_on(hidden.span(), out, targets[l], labels[l], counts[l], n,
                                     err.span(), lr_level);
    } else {
      cbow_negative_outputs(hidden.span(), out, target, negative, n, lr_level, table, stream,
                            err.span());
    }
    std::fill(hidden.data(), hidden.data() + next, 0.0f);
    for (const uint64_t c : context_words) {
      float* row = in.row(c).data();
      in.locked(c, [&] {
        spread_error(row, err.data(), n, cbow_mean, divisor);
        add_into(hidden.span(), {row, next}, next);
      });
    }
  }
}

}  // namespace

void cbow_negative_levels(const PlainMatrices& m, std::span<const uint64_t> context_words,
                          uint64_t target, uint64_t negative, std::span<const uint64_t> levels,
                          float lr_level, bool cbow_mean, const AliasTable* table,
                          ChaChaStream& stream) {
  if (levels.size() <= 1 || kernel_detail::has_repeats(context_words)) {
    // A repeated word's row is final for the next width only after its last occurrence's error;
    // reading it at an earlier occurrence would change the sum. Rare: one call per width.
    for (const uint64_t level : levels) {
      cbow_negative_step(m, context_words, target, negative, static_cast<std::size_t>(level),
                         lr_level, cbow_mean, table, stream);
    }
    return;
  }
  for (const uint64_t level : levels) {
    TARNIVEL_CHECK(level <= m.dim, "level wider than the weight matrix rows");
  }
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    cbow_negative_levels_on(in, out, context_words, target, negative, levels, lr_level, cbow_mean,
                            table, stream);
  });
}

void cbow_negative_levels(const SharedMatrix& input, const SharedMatrix& output,
                          std::span<const uint64_t> context_words, uint64_t target,
                          uint64_t negative, std::span<const uint64_t> levels, float lr_level,
                          bool cbow_mean, const AliasTable* table, ChaChaStream& stream) {
  if (levels.empty()) return;
  begin_shared_example(output);
  if (kernel_detail::has_repeats(context_words)) {
    for (const uint64_t level : levels) {
      cbow_negative_step(input, output, context_words, target, negative,
                         static_cast<std::size_t>(level), lr_level, cbow_mean, table, stream);
    }
    return;
  }
  const SharedRows in = shared_rows(input, false);
  const SharedRows out = shared_rows(output, true);
  uint64_t widest = 0;
  for (const uint64_t level : levels) widest = std::max(widest, level);
  for (const uint64_t c : context_words) input.row_prefix(c, static_cast<std::size_t>(widest));  // range checks
  cbow_negative_levels_on(in, out, context_words, target, negative, levels, lr_level, cbow_mean,
                          table, stream);
}

}  // namespace tarnivel
