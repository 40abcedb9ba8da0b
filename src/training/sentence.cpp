#include "training/sentence.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <mutex>
#include <exception>

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
  // Every width in list order, one call each.
  void cbow_ns(std::span<const uint64_t> context, uint64_t target, uint64_t negative,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean,
               const AliasTable* table, ChaChaStream& stream) const {
    for (const uint64_t level : levels) {
      cbow_negative_step(m, context, target, negative, static_cast<std::size_t>(level), lr_level,
                         cbow_mean, table, stream);
    }
  }
  void cbow_hs(const HuffmanTree& tree, std::span<const uint64_t> context, uint64_t center,
               std::span<const uint64_t> levels, float lr_level, bool cbow_mean) const {
    for (const uint64_t level : levels) {
      cbow_softmax_step(m, tree, context, center, static_cast<std::size_t>(level), lr_level,
                        cbow_mean);
    }
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

}  // namespace

bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables, PlainMatrices m,
                    std::atomic<bool>& stop, SignalProbe& probe) {
  if (params.sg && !params.hs) {
    // Skip-gram negative sampling runs as a dataflow of row updates (same results bit for bit).
    const AliasTable* table =
        tables.alias != nullptr && !tables.alias->empty() ? tables.alias : nullptr;
    return train_sg_negative_scheduled(sentence, stream, params, table, m, stop, &probe);
  }
  return run_sentence(sentence, stream, params, tables, SequentialKernels{m}, stop, &probe);
}

namespace {

// Row-locked training inside train_chunk: this thread's HotRowScope stays open across all the
// sentences it trains of one chunk and is closed (its copies written back) when the thread leaves
// the chunk. A scope per sentence would write every copied row back, one stripe each, after a
// couple of dozen examples; those holds, on stripes the other threads take as well, cost more than
// the copies save. The scope still writes back every kHotRowExamples examples.
std::optional<HotRowScope>& chunk_hot_rows() {
  thread_local std::optional<HotRowScope> scope;
  return scope;
}

// Writes this thread's chunk copies back and closes the scope (discarding the copies if a
// write-back fails; the failure propagates).
void close_chunk_hot_rows() {
  std::optional<HotRowScope>& scope = chunk_hot_rows();
  if (!scope) return;
  try {
    scope->close();
  } catch (...) {
    scope.reset();
    throw;
  }
  scope.reset();
}

template <class Index>
bool train_locked_sentence(std::span<const Index> sentence, ChaChaStream& stream,
                           const TrainParams& params, const OutputTables& tables,
                           const SharedMatrix& input, const SharedMatrix& output,
                           std::atomic<bool>& stop, SignalProbe* probe, bool chunk_scope) {
  const SharedKernels kernels{input, output};
  if (chunk_scope) {
    // The frequent words' rows (and, for softmax, the tree's top nodes), which nearly every
    // example of every thread updates, are updated in this thread's copies (see HotRowScope).
    if (!chunk_hot_rows()) {
      chunk_hot_rows().emplace(input, output, params.levels,
                               params.hs ? HotRowScope::Objective::kSoftmax
                                         : HotRowScope::Objective::kNegativeSampling);
    }
    return run_sentence(sentence, stream, params, tables, kernels, stop, probe);
  }
  if (!params.hs) return run_sentence(sentence, stream, params, tables, kernels, stop, probe);
  // One sentence alone: softmax copies the tree's top nodes and the frequent words' rows for the
  // sentence and writes them back at its end.
  HotRowScope top(input, output, params.levels);
  const bool interrupted = run_sentence(sentence, stream, params, tables, kernels, stop, probe);
  top.close();
  return interrupted;
}

}  // namespace

template <class Index>
bool train_chunk_sentence(std::span<const Index> sentence, ChaChaStream& stream,
                          const TrainParams& params, const OutputTables& tables,
                          const SharedMatrix& input, const SharedMatrix& output,
                          std::atomic<bool>& stop, SignalProbe* probe) {
  return train_locked_sentence(sentence, stream, params, tables, input, output, stop, probe, false);
}

bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables,
                    const SharedMatrix& input, const SharedMatrix& output,
                    std::atomic<bool>& stop, SignalProbe* probe) {
  return train_chunk_sentence(sentence, stream, params, tables, input, output, stop, probe);
}

template bool train_chunk_sentence(std::span<const SentenceChunk::Index>, ChaChaStream&,
                                   const TrainParams&, const OutputTables&, const SharedMatrix&,
                                   const SharedMatrix&, std::atomic<bool>&, SignalProbe*);
template bool train_chunk_sentence(std::span<const SentenceChunk::NarrowIndex>, ChaChaStream&,
                                   const TrainParams&, const OutputTables&, const SharedMatrix&,
                                   const SharedMatrix&, std::atomic<bool>&, SignalProbe*);

namespace {

// The probe of threads that never check for signals (pool threads, see train_chunk).
class NoSignalCheck final : public SignalProbe {
 public:
  bool interrupted() override { return false; }
};

// Unlocked mode: sentence i of the chunk through the sequential routine, on plain views of the
// shared arrays, its indices widened to 64 bits in a buffer the thread keeps (it only grows).
//
// Threads running this at once read and write the same floats with no ordering between them: a
// data race, deliberately left as plain float loads and stores. Decision: relaxed atomic access
// (std::atomic_ref<float>) was measured on the skip-gram negative-sampling step (bench/kernels.cpp)
// at about 1.5x its time (1.2x to 1.7x over several runs on a busy machine), because atomic accesses
// are not vectorised, and it would also need a second copy of every sequential kernel; the unlocked
// mode exists only to be fast, so it runs the sequential kernels unchanged. What a compiler may do with racy plain accesses, and why none of it
// matters here:
// - It may assume nobody else writes the rows while a kernel runs: keep a value in a register
//   instead of re-reading it, read it again instead of keeping it, merge, reorder or delay stores,
//   or pass an intermediate value through the destination. Another thread then sees an older, a
//   newer or an intermediate value of some components, or loses an update: exactly the outcomes
//   unlocked asynchronous training accepts anyway.
// - The weights only ever feed float arithmetic. No weight value selects an index, a row, a loop
//   bound or a branch that guards memory access (logistic_gradient's branch only picks one of two
//   finite formulas), so a surprising value cannot send a thread outside the arrays or into a
//   different path; indices come from the thread's own sentence and random stream.
// - Each float is 4 bytes, naturally aligned, never straddles a cache line, and is read and written
//   by single instructions (alone or as a lane of a vector access) on x86-64 and aarch64, so no
//   value is made of bytes from two different stores.
// ThreadSanitizer is told to ignore races on stacks through this function (tests/tsan.supp names
// it; `make tsan` passes the file): keep the name in step.
//
// The most frequent words' input rows, and as many of the hottest output rows (the most frequent
// words' for negative sampling; the tree's top nodes, its last rows, for softmax), are the thread's
// copies (HotRowCopies), written back every `write_back_tokens` tokens and when the thread leaves
// the chunk: every example of every thread touches some of them, and updating them in place moves
// their cache lines between the cores on nearly every example. Other threads see this thread's
// updates of those rows that much later; a change is lost only when two threads write back the
// same row at the same moment (a far smaller window than that of updating it in place).
struct UnlockedPlan {
  std::size_t hot_rows = 0;
  uint64_t write_back_tokens = 0;
};

UnlockedRowCopies& unlocked_copies() {
  thread_local UnlockedRowCopies copies;
  return copies;
}

[[gnu::noinline]] bool unlocked_sentence(const ChunkWork& work, std::size_t i,
                                         ChaChaStream& stream, SignalProbe& probe,
                                         const UnlockedPlan& plan) {
  thread_local std::vector<uint64_t> widened;
  work.chunk->with_sentence(i, [&](auto sentence) {
    widened.assign(sentence.begin(), sentence.end());
  });
  const std::size_t dim = work.input.dim();
  PlainMatrices m{work.input.all_rows(), work.output.all_rows(), dim};
  if (plan.hot_rows > 0 && dim > 0) {
    UnlockedRowCopies& copies = unlocked_copies();
    const std::size_t out_rows = work.output.rows();
    const std::size_t out_lo = work.params->hs ? out_rows - std::min(plan.hot_rows, out_rows) : 0;
    copies.input.cover(m.input, dim, 0, plan.hot_rows);
    copies.output.cover(m.output, dim, out_lo, plan.hot_rows);
    m.copies = &copies;
  }
  const bool interrupted =
      train_sentence(widened, stream, *work.params, work.tables, m, *work.stop, probe);
  if (m.copies != nullptr) {
    m.copies->tokens += widened.size();
    if (m.copies->tokens >= plan.write_back_tokens) m.copies->write_back();
  }
  return interrupted;
}

// Hands this thread's copies back to the shared rows (same racy plain accesses as above; the name
// keeps it under the same ThreadSanitizer suppression).
[[gnu::noinline]] void unlocked_sentence_write_back() { unlocked_copies().write_back(); }

}  // namespace

bool train_chunk(const ChunkWork& work) {
  TARNIVEL_CHECK(work.chunk != nullptr && work.params != nullptr && work.stop != nullptr,
                 "incomplete chunk work unit");
  const SentenceChunk& chunk = *work.chunk;
  std::atomic<bool>& stop = *work.stop;
  UnlockedPlan plan;
  if (!work.row_locks) {
    plan.hot_rows = unlocked_hot_rows(work.unlocked_hot_rows, work.input.dim());
    plan.write_back_tokens = kUnlockedWriteBackTokens;
  }

  // One sentence on whichever thread takes it; true signals the for-each to stop, which only
  // ever happens while the stop flag is set.
  auto train_one = [&](std::size_t i, SignalProbe* probe) -> bool {
    if (stop.load(std::memory_order_relaxed)) return true;
    ChaChaStream& stream = worker_stream();
    bool interrupted = false;
    if (work.row_locks) {
      interrupted = chunk.with_sentence(i, [&](auto sentence) {
        return train_locked_sentence(sentence, stream, *work.params, work.tables, work.input,
                                     work.output, stop, probe, true);
      });
    } else {
      NoSignalCheck no_check;
      interrupted =
          unlocked_sentence(work, i, stream, probe != nullptr ? *probe : no_check, plan);
    }
    if (interrupted) return true;
    if (work.progress != nullptr) {
      work.progress->fetch_add(chunk.length(i), std::memory_order_relaxed);
    }
    return stop.load(std::memory_order_relaxed);
  };

  if (chunk.empty()) return false;
  if (chunk.size() == 1) {
    // The copies go back also when the sentence fails part-way: none may outlive the call.
    struct WriteBack {
      bool copies;
      ~WriteBack() {
        if (copies) unlocked_sentence_write_back();
        chunk_hot_rows().reset();  // after a failure: discarded
      }
    } write_back{plan.hot_rows > 0};
    const bool interrupted = train_one(0, work.caller_probe);
    close_chunk_hot_rows();
    return interrupted;
  }
  // Every pool thread that ran items hands its copies back before the loop counts as finished, also
  // a thread whose sentence failed part-way: its copies hold what updating the rows in place would
  // have left there, so the matrices keep what training reached, as without copies. A row-locked
  // write-back that fails (a broken stripe) is reported once the loop has returned.
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const std::function<void()> leave = [&] {
    if (!work.row_locks) {
      unlocked_sentence_write_back();
      return;
    }
    try {
      close_chunk_hot_rows();
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  const bool copies = work.row_locks || plan.hot_rows > 0;
  // Pool threads run without a signal probe. The interpreter runs signal handlers only in its main
  // thread, so a pending-signal check from any other thread can never report anything, while
  // taking the interpreter lock for it would queue every worker behind the corpus reader, which
  // holds that lock for a whole window of items.
  const bool stopped =
      pool_for_each(chunk.size(), [&](std::size_t i) { return train_one(i, nullptr); },
                    work.max_threads, copies ? &leave : nullptr);
  if (failure) std::rethrow_exception(failure);
  return stopped;
}

}  // namespace tarnivel
