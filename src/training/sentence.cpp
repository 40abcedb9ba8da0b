#include "training/sentence.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <mutex>
#include <exception>

#include "common/pinned.hpp"
#include "ops/vector_ops.hpp"
#include "rng/seed.hpp"
#include "training/hs.hpp"
#include "training/ns.hpp"
#include "training/pool.hpp"
#include "training/row_copies.hpp"
#include "training/sg_dataflow.hpp"

namespace tarnivel {

namespace {

// The signal probe is asked at positions 0, 1024, 2048, ... of each sentence.
constexpr std::size_t kSignalCheckMask = 1023;

// ...and also whenever kWorkBetweenSignalChecks row components have been touched since the last
// check (counted per kernel call as the targets it trains times the widths).
// Targets counted for one hierarchical-softmax call: a Huffman path is at most this long for any
// vocabulary that fits in memory, and usually far shorter.
constexpr uint64_t kSoftmaxTargets = 32;

// Bounds of the fast CBOW negative-sampling routine, which holds an example's samples of every width
// (larger settings take the sentence routine, which draws them one at a time).
constexpr uint64_t kMaxFastSamples = 1024;
constexpr std::size_t kMaxFastWidths = 64;

// The kernel forms the sentence routine calls: sequential on the model's plain matrices...
struct SequentialKernels {
  const PlainMatrices& m;

  void sg_ns(uint64_t center, uint64_t context, uint64_t negative,
             std::span<const uint64_t> levels, float lr, const AliasTable* table,
             ChaChaStream& stream) const {
    sg_negative_step(m, center, context, negative, levels, lr, table, stream);
  }
  // Every width in list order, one call each.
  void sg_hs(const HuffmanTree& tree, uint64_t center, uint64_t context,
             std::span<const uint64_t> levels, float lr_level) const {
    for (const uint64_t level : levels) {
      sg_softmax_step(m, tree, center, context, static_cast<std::size_t>(level), lr_level);
    }
  }
  void cbow_ns(std::span<const uint64_t> context, uint64_t target, uint64_t negative,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean,
               const AliasTable* table, ChaChaStream& stream) const {
    cbow_negative_levels(m, context, target, negative, levels, lr_level, cbow_mean, table, stream);
  }
  void cbow_hs(const HuffmanTree& tree, std::span<const uint64_t> context, uint64_t center,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean) const {
    cbow_softmax_levels(m, tree, context, center, levels, lr_level, cbow_mean);
  }
};

// ...or multi-worker on the shared wrappers, under their row stripes.
struct SharedKernels {
  const SharedMatrix& input;
  const SharedMatrix& output;

  void sg_ns(uint64_t center, uint64_t context, uint64_t negative,
             std::span<const uint64_t> levels, float lr, const AliasTable* table,
             ChaChaStream& stream) const {
    sg_negative_step(input, output, center, context, negative, levels, lr, table, stream);
  }
  // All widths in one call (the same values as one call per width; fewer stripe holds).
  void sg_hs(const HuffmanTree& tree, uint64_t center, uint64_t context,
             std::span<const uint64_t> levels, float lr_level) const {
    sg_softmax_levels(input, output, tree, center, context, levels, lr_level);
  }
  void cbow_ns(std::span<const uint64_t> context, uint64_t target, uint64_t negative,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean,
               const AliasTable* table, ChaChaStream& stream) const {
    cbow_negative_levels(input, output, context, target, negative, levels, lr_level, cbow_mean,
                         table, stream);
  }
  void cbow_hs(const HuffmanTree& tree, std::span<const uint64_t> context, uint64_t center,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean) const {
    cbow_softmax_levels(input, output, tree, context, center, levels, lr_level, cbow_mean);
  }
};

// Room for the largest possible context, 2 * window + 1 indices, bounded by the sentence length
// (no context is longer than the sentence): the unbounded size overflows or exhausts memory for
// huge windows.
std::size_t context_capacity(uint64_t window, std::size_t n) {
  if (window >= n) return n;
  return static_cast<std::size_t>(std::min<uint64_t>(2 * window + 1, n));
}

template <class Index, class Kernels>
bool run_sentence(std::span<const Index> s, ChaChaStream& stream, const TrainParams& params,
                  const OutputTables& tables, const Kernels& kernels, std::atomic<bool>& stop,
                  SignalProbe* probe) {
  TARNIVEL_CHECK(!params.hs || tables.tree != nullptr,
                 "hierarchical softmax needs a Huffman tree");
  const std::size_t n = s.size();
  const std::span<const uint64_t> levels(params.levels);
  // The number of levels as a float (1.0 for an empty list); the per-level kernels get lr shared
  // out, skip-gram negative sampling divides inside.
  const float lr_level = params.lr / mean_divisor(levels.size());
  const AliasTable* table =
      tables.alias != nullptr && !tables.alias->empty() ? tables.alias : nullptr;
  const HuffmanTree* tree = tables.tree;

  std::vector<uint64_t> context;
  if (!params.sg) context.reserve(context_capacity(params.window, n));

  // Saturating sums and products: the count only has to reach the threshold, never wrap past it.
  const auto sat_add = [](uint64_t a, uint64_t b) { return a + b < a ? ~uint64_t{0} : a + b; };
  const auto sat_mul = [](uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? ~uint64_t{0} : r;
  };
  uint64_t widths = 0;
  for (const uint64_t level : levels) widths = sat_add(widths, level);
  const uint64_t targets = params.hs ? kSoftmaxTargets : sat_add(params.negative, 1);
  const uint64_t call_work = sat_add(sat_mul(targets, widths), 1);
  uint64_t work = 0;
  // True when a due work-based check found a signal (the stop flag is then set).
  const auto interrupted_by_work = [&] {
    if (probe == nullptr || work < kWorkBetweenSignalChecks) return false;
    work = 0;
    if (!probe->interrupted()) return false;
    stop.store(true, std::memory_order_relaxed);
    return true;
  };

  for (std::size_t i = 0; i < n; ++i) {
    if (stop.load(std::memory_order_relaxed)) return true;
    if (probe != nullptr && (i & kSignalCheckMask) == 0) {
      work = 0;
      if (probe->interrupted()) {
        stop.store(true, std::memory_order_relaxed);
        return true;
      }
    }
    // The window draw comes before any draw the kernels make for this position.
    const uint64_t w = params.window - stream.in_closed_range(0, params.window);
    const std::size_t start = w <= i ? static_cast<std::size_t>(i - w) : 0;
    const std::size_t end = w >= n - 1 - i ? n : static_cast<std::size_t>(i + w + 1);
    const uint64_t center = s[i];

    if (params.sg) {
      for (std::size_t c = start; c < end; ++c) {
        if (c == i) continue;
        if (interrupted_by_work()) return true;
        work = sat_add(work, call_work);
        if (params.hs) {
          kernels.sg_hs(*tree, center, s[c], levels, lr_level);
        } else {
          kernels.sg_ns(center, s[c], params.negative, levels, params.lr, table, stream);
        }
      }
    } else {
      context.clear();
      for (std::size_t c = start; c < end; ++c) {
        if (c != i) context.push_back(s[c]);
      }
      if (context.empty()) continue;
      if (interrupted_by_work()) return true;
      work = sat_add(work, sat_add(call_work, sat_mul(context.size(), widths)));
      if (params.hs) {
        kernels.cbow_hs(*tree, context, center, levels, lr_level, params.cbow_mean);
      } else {
        kernels.cbow_ns(context, center, params.negative, levels, lr_level, params.cbow_mean,
                        table, stream);
      }
    }
  }
  return false;
}

// One CBOW negative-sampling example drawn ahead of its training: its context rows, its output
// rows (per width: the centre's, then the samples'), and whether every row was in range.
struct DrawnExample {
  std::vector<float*> context;
  std::vector<uint64_t> words;
  std::vector<uint64_t> samples;
  std::vector<float*> rows;
  bool distinct = true;
  bool in_range = true;
};

// CBOW negative sampling in the fast arithmetic on plain matrices, for widths in 1..dim: each
// position's window and every width's samples are drawn one position ahead of its training (the
// training draws nothing, so the stream gives the same values in the same order), its context and
// output rows requested then, and each example trains all its widths in one kernel call
// (FastOps::context_negative). The same draws, stop and probe behaviour as the sentence routine.
bool train_cbow_negative_fast(std::span<const uint64_t> s, ChaChaStream& stream,
                              const TrainParams& params, const AliasTable* table,
                              const PlainMatrices& m, std::atomic<bool>& stop,
                              SignalProbe* probe) {
  const FastOps& fast = *m.fast;
  const std::span<const uint64_t> levels(params.levels);
  const float lr_level = params.lr / mean_divisor(levels.size());
  const std::size_t dim = m.dim;
  const std::size_t in_rows = dim == 0 ? 0 : m.input.size() / dim;
  const std::size_t out_rows = dim == 0 ? 0 : m.output.size() / dim;
  const uint64_t samples = table != nullptr ? params.negative : 0;
  const std::size_t k = static_cast<std::size_t>(samples) + 1;
  // Rows by index; in unlocked threaded mode the hottest are this thread's copies.
  const auto input_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->input.row(r) : m.input.data() + r * dim;
  };
  const auto output_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->output.row(r) : m.output.data() + r * dim;
  };
  // Nothing of this call is held across the probe (every drawn example is trained before it is
  // asked), so a handler training another sentence on this thread may reuse the buffers; the
  // pointers into them are taken afresh after every draw.
  thread_local DrawnExample drawn_buffer[2];
  thread_local std::vector<float> scratch_buffer;
  DrawnExample* examples = pinned(drawn_buffer);
  std::vector<float>& scratch = *pinned(&scratch_buffer);
  std::size_t widths[kMaxFastWidths];
  const std::size_t nw = levels.size();
  uint64_t width_sum = 0;
  std::size_t widest = 0;
  for (std::size_t l = 0; l < nw; ++l) {
    const uint64_t level = levels[l];
    widths[l] = static_cast<std::size_t>(level);
    width_sum += level;
    widest = std::max(widest, static_cast<std::size_t>(level));
  }
  // Work per example as the sentence routine counts it (`negative` + 1 targets per width, drawn or
  // not).
  const uint64_t call_work = (params.negative + 1) * width_sum + 1;

  std::size_t slot = 0;
  bool pending = false;
  const auto flush = [&] {
    if (!pending) return;
    pending = false;
    DrawnExample& ex = examples[1 - slot];
    TARNIVEL_CHECK(ex.in_range, "row index out of range of the weight matrix");
    if (scratch.size() < 2 * widest) scratch.resize(2 * widest);
    fast.context_negative(ex.context.data(), ex.context.size(), ex.distinct, ex.rows.data(), k,
                          widths, nw, lr_level, params.cbow_mean,
                          mean_divisor(ex.context.size()), scratch.data(), scratch.data() + widest);
  };
  uint64_t work = 0;
  const auto draw = [&](std::size_t i, std::size_t start, std::size_t end) {
    DrawnExample& ex = examples[slot];
    ex.context.clear();
    ex.words.clear();
    ex.rows.clear();
    ex.in_range = s[i] < out_rows;
    for (std::size_t c = start; c < end; ++c) {
      if (c == i) continue;
      ex.in_range = ex.in_range && s[c] < in_rows;
      ex.words.push_back(s[c]);
      ex.context.push_back(ex.in_range ? input_row(s[c]) : nullptr);
    }
    ex.distinct = !kernel_detail::has_repeats(ex.words);
    ex.samples.resize(nw * (k - 1));
    if (k > 1) table->sample_into(stream, ex.samples.data(), ex.samples.size());
    ex.rows.resize(nw * k);
    for (std::size_t l = 0; l < nw; ++l) {
      ex.rows[l * k] = ex.in_range ? output_row(s[i]) : nullptr;
      for (std::size_t r = 1; r < k; ++r) {
        const uint64_t w = replace_target(ex.samples[l * (k - 1) + r - 1], s[i], table->size());
        ex.in_range = ex.in_range && w < out_rows;
        ex.rows[l * k + r] = ex.in_range ? output_row(w) : nullptr;
      }
    }
    if (ex.in_range) {
      for (float* row : ex.context) kernel_detail::prefetch_for_write(row, widest);
      for (std::size_t l = 0; l < nw; ++l) {
        for (std::size_t r = 0; r < k; ++r) {
          kernel_detail::prefetch_for_write(ex.rows[l * k + r], widths[l]);
        }
      }
    }
    const uint64_t context_work = ex.context.size() * width_sum;
    work = work + call_work + context_work < work ? ~uint64_t{0} : work + call_work + context_work;
    flush();
    slot = 1 - slot;
    pending = true;
  };
  return drawn_positions(s.size(), params.window, stream, stop, probe, work, draw, flush);
}

}  // namespace

bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables, PlainMatrices m,
                    std::atomic<bool>& stop, SignalProbe& probe) {
  // Subsampling: dropped tokens leave the sentence before any window is formed.
  sentence = KeepTable::subsampled(params.keep, sentence, stream);
  if (sentence.empty()) return false;
  if (params.arithmetic == Arithmetic::kFast) m.fast = &fast_ops();
  if (params.sg && !params.hs) {
    // Skip-gram negative sampling runs as a dataflow of row updates (same results bit for bit).
    const AliasTable* table =
        tables.alias != nullptr && !tables.alias->empty() ? tables.alias : nullptr;
    return train_sg_negative_scheduled(sentence, stream, params, table, m, stop, &probe);
  }
  if (params.hs && m.fast != nullptr && tables.tree != nullptr &&
      std::all_of(params.levels.begin(), params.levels.end(),
                  [&](uint64_t level) { return level >= 1 && level <= m.dim; })) {
    // Softmax in the fast arithmetic: each example's widths in one fused kernel call.
    return train_softmax_fast(sentence, stream, params, *tables.tree, m, stop, &probe);
  }
  if (!params.sg && !params.hs && m.fast != nullptr && params.negative < kMaxFastSamples &&
      params.levels.size() <= kMaxFastWidths &&
      std::all_of(params.levels.begin(), params.levels.end(),
                  [&](uint64_t level) { return level >= 1 && level <= m.dim; })) {
    // CBOW negative sampling in the fast arithmetic: each example's widths in one kernel call.
    const AliasTable* table =
        tables.alias != nullptr && !tables.alias->empty() ? tables.alias : nullptr;
    return train_cbow_negative_fast(sentence, stream, params, table, m, stop, &probe);
  }
  return run_sentence(sentence, stream, params, tables, SequentialKernels{m}, stop, &probe);
}

template <class Index>
bool train_shared_sentence(std::span<const Index> sentence, ChaChaStream& stream, const TrainParams& params,
                           const OutputTables& tables, const SharedMatrix& input, const SharedMatrix& output,
                           std::atomic<bool>& stop, SignalProbe* probe) {
  // Subsampling: dropped tokens leave the sentence before any window is formed.
  sentence = KeepTable::subsampled(params.keep, sentence, stream);
  if (sentence.empty()) return false;
  return run_sentence(sentence, stream, params, tables, SharedKernels{input, output}, stop, probe);
}

template <class Index>
bool train_chunk_sentence(std::span<const Index> sentence, ChaChaStream& stream,
                          const TrainParams& params, const OutputTables& tables,
                          const SharedMatrix& input, const SharedMatrix& output,
                          std::atomic<bool>& stop, SignalProbe* probe) {
  if (!params.hs) return train_shared_sentence(sentence, stream, params, tables, input, output, stop, probe);
  // One sentence alone: softmax copies the tree's top nodes and the frequent words' rows for the
  // sentence and writes them back at its end.
  HotRowScope top(input, output, params.levels);
  const bool interrupted = train_shared_sentence(sentence, stream, params, tables, input, output, stop, probe);
  top.close();
  return interrupted;
}

bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables,
                    const SharedMatrix& input, const SharedMatrix& output,
                    std::atomic<bool>& stop, SignalProbe* probe) {
  return train_chunk_sentence(sentence, stream, params, tables, input, output, stop, probe);
}

template bool train_shared_sentence(std::span<const SentenceChunk::Index>, ChaChaStream&, const TrainParams&,
                                    const OutputTables&, const SharedMatrix&, const SharedMatrix&,
                                    std::atomic<bool>&, SignalProbe*);
template bool train_shared_sentence(std::span<const SentenceChunk::NarrowIndex>, ChaChaStream&, const TrainParams&,
                                    const OutputTables&, const SharedMatrix&, const SharedMatrix&,
                                    std::atomic<bool>&, SignalProbe*);
template bool train_chunk_sentence(std::span<const SentenceChunk::Index>, ChaChaStream&,
                                   const TrainParams&, const OutputTables&, const SharedMatrix&,
                                   const SharedMatrix&, std::atomic<bool>&, SignalProbe*);
template bool train_chunk_sentence(std::span<const SentenceChunk::NarrowIndex>, ChaChaStream&,
                                   const TrainParams&, const OutputTables&, const SharedMatrix&,
                                   const SharedMatrix&, std::atomic<bool>&, SignalProbe*);

}  // namespace tarnivel
