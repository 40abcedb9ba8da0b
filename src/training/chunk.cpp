#include "training/chunk.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "rng/seed.hpp"
#include "training/pool.hpp"
#include "training/row_copies.hpp"

namespace tarnivel {

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
                           std::atomic<bool>& stop, SignalProbe* probe) {
  // The frequent words' rows (and, for softmax, the tree's top nodes), which nearly every example
  // of every thread updates, are updated in this thread's copies (see HotRowScope).
  if (!chunk_hot_rows()) {
    chunk_hot_rows().emplace(input, output, params.levels,
                             params.hs ? HotRowScope::Objective::kSoftmax : HotRowScope::Objective::kNegativeSampling);
  }
  return train_shared_sentence(sentence, stream, params, tables, input, output, stop, probe);
}

}  // namespace


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
// data race, deliberately left as plain float loads and stores: relaxed atomic accesses are not
// vectorised and would need a second copy of every sequential kernel, and the unlocked mode exists
// only to be fast, so it runs the sequential kernels unchanged. What a compiler may do with racy plain accesses, and why none of it
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
                                     work.output, stop, probe);
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
