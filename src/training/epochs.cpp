#include "training/epochs.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>

#include "rng/seed.hpp"
#include "training/chunk.hpp"

namespace tarnivel {
namespace {

using Clock = std::chrono::steady_clock;

// One example of this many row components (targets, `negative` + 1, times the sum of the widths)
// makes a sentence take milliseconds to seconds: the host's lock policy hears of it.
constexpr uint64_t kHeavyExample = uint64_t{1} << 18;

bool heavy_examples(const TrainParams& params) {
  if (params.hs) return false;  // a Huffman path is short
  uint64_t widths = 0;
  for (const uint64_t level : params.levels) widths += level;
  return params.negative >= kHeavyExample || (params.negative + 1) * widths >= kHeavyExample;
}

OutputTables tables_of(const Model& model) {
  OutputTables tables;
  tables.tree = &model.tree;
  tables.alias = &model.alias;
  return tables;
}

// Runs `f`; a failure sets the stop flag on its way out.
template <class F>
void stopping_on_failure(std::atomic<bool>& stop, F&& f) {
  try {
    f();
  } catch (...) {
    stop.store(true, std::memory_order_relaxed);
    throw;
  }
}

// The reader thread's state, shared with the thread so that a reader blocked in its corpus can be
// left behind when the epoch ends early.
struct ReaderState {
  explicit ReaderState(std::size_t capacity) : channel(capacity) {}
  ChunkChannel channel;
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;
};

// How long an epoch that ends early waits for its reader before leaving it behind.
constexpr auto kReaderGrace = std::chrono::seconds(1);

}  // namespace

SharedWeights::SharedWeights(Model& model)
    : model_(model),
      input_(SharedMatrix::wrap(std::move(model.input_vectors), model.params.vector_size)),
      output_(SharedMatrix::wrap(std::move(model.output_vectors), model.params.vector_size)) {}

SharedWeights::~SharedWeights() {
  // Every chunk's copies of the wrappers are gone by now, so giving the arrays back cannot fail;
  // should it ever, the matrices are lost rather than the process.
  try {
    model_.input_vectors = input_.into_array();
    model_.output_vectors = output_.into_array();
  } catch (...) {
  }
}

void sequential_epoch(const EpochContext& ctx) {
  const ProgressPlan& plan = ctx.plan;
  std::atomic<bool>& stop = ctx.stop;
  ChaChaStream stream = stream_for_epoch(plan.epoch);
  const OutputTables tables = tables_of(ctx.model);
  PlainMatrices matrices{ctx.model.input_vectors, ctx.model.output_vectors, ctx.model.params.vector_size};
  const bool reporting = plan.verbose || plan.progress;
  const bool heavy = heavy_examples(ctx.params);
  double min_gap = plan.interval;
  if (!(min_gap >= 0.01)) min_gap = 0.01;
  const auto start = Clock::now();
  auto last_report = start;
  uint64_t p = 0;
  std::unique_ptr<SentenceStream> sentences = ctx.source.sentences(ctx.model.vocab);
  std::span<const uint64_t> sentence;
  while (sentences->next(sentence)) {
    // Zero-width rows have nothing to train.
    if (matrices.dim != 0 && ctx.observer.sentence(sentence.size(), heavy, [&](SignalProbe& probe) {
          return train_sentence(sentence, stream, ctx.params, tables, matrices, stop, probe);
        })) {
      stop.store(true, std::memory_order_relaxed);
      throw Interrupted();
    }
    p += sentence.size();
    if (reporting) {
      const auto now = Clock::now();
      if (std::chrono::duration<double>(now - last_report).count() >= min_gap) {
        last_report = now;
        if (plan.verbose) {
          ctx.observer.log(progress_line(plan, p, std::chrono::duration<double>(now - start).count()));
        }
        if (plan.progress) {
          stopping_on_failure(stop, [&] {
            ctx.observer.progress(plan.epoch_tokens * plan.epoch + p, plan.epochs * plan.epoch_tokens);
          });
        }
      }
    }
    stopping_on_failure(stop, [&] { ctx.observer.check_interrupt(); });
  }
  if (plan.verbose) {
    ctx.observer.log(progress_line(plan, p, std::chrono::duration<double>(Clock::now() - start).count()));
  }
}

uint64_t threaded_epoch(const EpochContext& ctx, const SharedWeights& weights) {
  const ProgressPlan& plan = ctx.plan;
  std::atomic<bool>& stop = ctx.stop;
  TrainObserver& observer = ctx.observer;
  // The counter of trained tokens ends the epoch once it reaches the counted total, whether or not
  // progress is reported, so that a corpus that yields more than its counting pass trains the same
  // sentences with or without progress output.
  std::atomic<uint64_t> counter{0};
  const bool reporting = plan.verbose || plan.progress;
  std::optional<Reporter> reporter;
  if (reporting) reporter.emplace(plan, counter, stop, observer);
  const uint64_t workers = std::max<uint64_t>(ctx.model.params.workers, 1);
  auto reader = std::make_shared<ReaderState>(static_cast<std::size_t>(std::min<uint64_t>(workers, 16) * 8));
  std::thread reader_thread =
      observer.start_thread([reader, read = ctx.source.epoch_reader(ctx.model.vocab, ctx.options.switches.chunk_size)] {
        try {
          read(reader->channel, reader->cancel);
        } catch (...) {
          reader->error = std::current_exception();
        }
        reader->channel.close_sender();
        const std::lock_guard<std::mutex> lock(reader->mutex);
        reader->done = true;
        reader->finished.notify_all();
      });
  const OutputTables tables = tables_of(ctx.model);

  std::exception_ptr failure;
  bool ended = false;  // the reader delivered everything
  try {
    for (;;) {
      // Checked before every receive, so a total of 0 ends the epoch before anything is received.
      if (counter.load(std::memory_order_relaxed) >= plan.epoch_tokens) break;
      SentenceChunk chunk;
      ChunkChannel::Status status = ChunkChannel::Status::timeout;
      observer.unlocked([&] { status = reader->channel.receive(chunk, std::chrono::milliseconds(200)); });
      if (status == ChunkChannel::Status::timeout) {
        // A corpus that blocks must not hold off an interruption.
        observer.check_interrupt();
        continue;
      }
      if (status == ChunkChannel::Status::disconnected) {
        ended = true;
        break;
      }
      bool stopped = false;
      if (ctx.model.params.vector_size == 0) {  // zero-width rows have nothing to train
        counter.fetch_add(chunk.word_count(), std::memory_order_relaxed);
      } else {
        ChunkWork work;
        work.chunk = &chunk;
        work.params = &ctx.params;
        work.tables = tables;
        work.input = weights.input();
        work.output = weights.output();
        work.stop = &stop;
        work.progress = &counter;
        work.caller_probe = &observer.released_probe();
        work.max_threads = static_cast<std::size_t>(workers);
        work.row_locks = ctx.options.switches.row_locks;
        work.unlocked_hot_rows = ctx.options.switches.unlocked_hot_rows;
        observer.unlocked([&] { stopped = train_chunk(work); });
      }
      if (stopped) stop.store(true, std::memory_order_relaxed);
      observer.check_interrupt();
      if (stop.load(std::memory_order_relaxed)) break;
    }
  } catch (...) {
    stop.store(true, std::memory_order_relaxed);
    failure = std::current_exception();
  }
  reader->cancel.store(true, std::memory_order_relaxed);
  reader->channel.close_receiver();
  bool joined = false;
  observer.unlocked([&] {
    std::unique_lock<std::mutex> lock(reader->mutex);
    if (ended) {
      reader->finished.wait(lock, [&] { return reader->done; });
    } else {
      reader->finished.wait_for(lock, kReaderGrace, [&] { return reader->done; });
    }
    joined = reader->done;
    lock.unlock();
    if (joined) reader_thread.join();
  });
  // A reader still blocked in its corpus owns what it reads and is left to finish on its own.
  if (!joined) reader_thread.detach();
  if (reporter) reporter->finish();
  if (failure) std::rethrow_exception(failure);
  if (joined && reader->error) std::rethrow_exception(reader->error);
  if (reporter && reporter->error()) std::rethrow_exception(reporter->error());
  return counter.load(std::memory_order_relaxed);
}

}  // namespace tarnivel
