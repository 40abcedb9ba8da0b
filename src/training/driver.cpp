#include "training/driver.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/machine.hpp"
#include "common/setting.hpp"
#include "model/vocab.hpp"
#include "training/subsample.hpp"
#include "training/epochs.hpp"
#include "training/huffman.hpp"
#include "training/pool.hpp"
#include "weights/finite.hpp"
#include "weights/init.hpp"

namespace tarnivel {
namespace {

using Clock = std::chrono::steady_clock;

// A probe that never reports a signal.
class NoProbe final : public SignalProbe {
 public:
  bool interrupted() override { return false; }
};

const char* flag(bool value) { return value ? "true" : "false"; }

std::string levels_text(const std::vector<uint64_t>& levels) {
  std::string text = "[";
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(levels[i]);
  }
  return text + "]";
}

std::string max_vocab_text(const std::optional<uint64_t>& value) {
  return value ? std::to_string(*value) : "None";
}

// Prepares the hierarchical-softmax tree or the negative-sampling table.
void output_setup(Model& model, TrainObserver& observer, bool verbose) {
  const ModelParams& p = model.params;
  const uint64_t vocab = model.vocab.size();
  if (p.hs) {
    // With no vocabulary there is nothing to build: the model stays without a tree (so a later call
    // that builds a vocabulary builds it) and nothing is logged; the epochs train nothing.
    if (!model.tree.empty() || vocab == 0) return;
    auto& counts = model.vocab.counts;
    if (counts.empty() || std::all_of(counts.begin(), counts.end(), [](uint64_t c) { return c == 0; })) {
      counts.assign(vocab, 1);
    }
    model.tree = build_huffman_for_vocab(counts, vocab);
    const uint64_t nodes = 2 * vocab - 1;
    while (model.output_vectors.size() < nodes * p.vector_size) {
      append_random_unit_row(model.output_vectors, p.vector_size);
    }
    if (verbose) {
      observer.log("TRAIN setup: built Huffman tree (vocab=" + std::to_string(vocab) +
                   ", nodes=" + std::to_string(nodes) + ")");
    }
  } else if (p.negative > 0) {
    auto& counts = model.vocab.counts;
    if (counts.size() != vocab) counts.assign(vocab, 1);
    model.alias = AliasTable::build(noise_weights(counts));
    if (verbose) {
      observer.log("TRAIN setup: built alias table for negative sampling (vocab=" + std::to_string(vocab) +
                   ", negatives=" + std::to_string(p.negative) + ")");
    }
  }
}

void log_setup(const Model& model, TrainObserver& observer, const CallOptions& options, uint64_t epoch_tokens) {
  const ModelParams& p = model.params;
  observer.log("TRAIN setup: vocab=" + std::to_string(model.vocab.size()) +
               ", vector_size=" + std::to_string(p.vector_size) + ", window=" + std::to_string(p.window) +
               ", min_count=" + std::to_string(p.min_count) + ", max_final_vocab=" + max_vocab_text(p.max_final_vocab) +
               ", workers=" + std::to_string(p.workers) + ", sg=" + flag(p.sg) + ", hs=" + flag(p.hs) +
               ", cbow_mean=" + flag(p.cbow_mean) + ", negative=" + std::to_string(p.negative) +
               ", levels=" + levels_text(p.levels) + ", alpha_start=" + fixed(p.alpha, 5) +
               ", min_alpha=" + fixed(p.min_alpha, 5) + ", log_interval=" + fixed(p.progress_interval, 2) + "s");
  observer.log("TRAIN setup: hardware cores=" + std::to_string(logical_cores()) +
               ", rayon_threads=" + std::to_string(worker_pool_size(options.switches.pool_threads)) +
               ", workers=" + std::to_string(p.workers));
  observer.log("TRAIN setup: env pid=" + std::to_string(static_cast<long long>(getpid())) + ", py=" +
               options.runtime + ", " + arch_line());
  observer.log("TRAIN setup: total_tokens_per_epoch=" + std::to_string(epoch_tokens) +
               ", epochs=" + std::to_string(options.epochs));
}

// After an epoch: a NaN or an infinity in either matrix means the updates diverged (the rate is too
// large for the data); every later update and query would only spread it, so the call stops.
void check_finite(const Model& model, const std::optional<SharedWeights>& shared, uint64_t e, uint64_t epochs) {
  const auto whole = [](const SharedMatrix& m) {
    if (m.rows() == 0 || m.dim() == 0) return std::span<const float>();
    return std::span<const float>(m.row(0).data(), m.rows() * m.dim());
  };
  const std::span<const float> input = shared ? whole(shared->input()) : std::span<const float>(model.input_vectors);
  const std::span<const float> output = shared ? whole(shared->output()) : std::span<const float>(model.output_vectors);
  const uint64_t dim = model.params.vector_size;
  std::string where;
  if (const std::size_t at = first_non_finite(input); at < input.size()) {
    const std::size_t row = at / dim;
    where = row < model.vocab.index_to_key.size() ? "the input vector of word '" + model.vocab.index_to_key[row] + "'"
                                                   : "input row " + std::to_string(row);
  } else if (const std::size_t out_at = first_non_finite(output); out_at < output.size()) {
    where = "output row " + std::to_string(out_at / dim);
  } else {
    return;
  }
  char alpha[32];
  std::snprintf(alpha, sizeof alpha, "%g", static_cast<double>(model.params.alpha));
  throw ValueError("training diverged at epoch " + std::to_string(e + 1) + "/" + std::to_string(epochs) + " (" + where +
                   " is not finite), try a smaller alpha than " + alpha);
}

// The host's interruption check: an error from it sets the stop flag and ends the call.
void check_interrupt(TrainObserver& observer, std::atomic<bool>& stop) {
  try {
    observer.check_interrupt();
  } catch (...) {
    stop.store(true, std::memory_order_relaxed);
    throw;
  }
  if (stop.load(std::memory_order_relaxed)) throw Interrupted();
}

}  // namespace

Switches read_switches() {
  Switches s;
  const char* locks = std::getenv("TARNIVEL_ROW_LOCKS");
  s.row_locks = locks == nullptr || std::string_view(locks) != "0";
  s.chunk_size = parse_chunk_size(std::getenv("W2V_CHUNK"));
  s.unlocked_hot_rows = static_cast<std::size_t>(plain_decimal_setting("TARNIVEL_UNLOCKED_HOT_ROWS", 65536).value_or(1024));
  s.pool_threads = pool_threads_setting();
  const char* arithmetic = std::getenv("TARNIVEL_ARITHMETIC");
  s.arithmetic = arithmetic != nullptr && std::string_view(arithmetic) == "fast" ? Arithmetic::kFast : Arithmetic::kExact;
  return s;
}

bool TrainObserver::sentence(std::size_t, bool, const std::function<bool(SignalProbe&)>& work) {
  return work(released_probe());
}

SignalProbe& TrainObserver::released_probe() {
  static NoProbe probe;
  return probe;
}

std::thread TrainObserver::start_thread(std::function<void()> body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error& e) {
    throw ResourceError(std::string("failed to spawn thread: ") + e.what());
  }
}

float epoch_rate(const ModelParams& p, uint64_t e, uint64_t epochs) {
  const float fraction = static_cast<float>(e) / static_cast<float>(epochs);
  float lr = p.alpha - fraction * (p.alpha - p.min_alpha);
  if (lr < p.min_alpha) lr = p.min_alpha;
  return lr;
}

void train(Model& model, CorpusSource& source, TrainObserver& observer, const CallOptions& options) {
  const ModelParams& p = model.params;
  const bool threaded = p.workers >= 2;
  check_subsampling(model);  // before the vocabulary pass adds to counts
  const bool building = model.vocab.size() == 0;
  source.vocabulary_pass(model);
  if (building) model.counts_known = true;  // the counts of the vocabulary just built
  // Threaded epochs carry indices in 32 bits. No vocabulary that large fits in memory, but should one
  // ever reach here it is refused rather than truncated.
  if (threaded && model.vocab.size() > SentenceChunk::kMaxIndex + 1) {
    throw ValueError("vocabulary too large for multi-worker training: " + std::to_string(model.vocab.size()) +
                     " words (at most 4294967296)");
  }
  output_setup(model, observer, options.verbose);
  TrainParams params;
  params.window = p.window;
  params.sg = p.sg;
  params.hs = p.hs;
  params.cbow_mean = p.cbow_mean;
  params.negative = p.negative;
  params.arithmetic = options.switches.arithmetic;
  // Widths never exceed the rows: only vector_size 0 (whose default levels are [1]) could ask for
  // more, and a width of 0 trains nothing instead of reading past the matrices.
  for (const uint64_t level : p.levels) params.levels.push_back(std::min(level, p.vector_size));
  const std::optional<KeepTable> keep = keep_table(model);  // once per call
  params.keep = keep ? &*keep : nullptr;
  std::atomic<bool> stop{false};
  const uint64_t epoch_tokens = source.token_pass(model.vocab);
  if (options.verbose) log_setup(model, observer, options, epoch_tokens);
  // The pool is sized here, before any lock is let go, from the setting read with the call's.
  if (threaded) worker_pool_size(options.switches.pool_threads);

  std::optional<SharedWeights> shared;
  if (threaded) shared.emplace(model);
  for (uint64_t e = 0; e < options.epochs; ++e) {
    check_interrupt(observer, stop);
    const auto start = Clock::now();
    params.lr = epoch_rate(p, e, options.epochs);
    ProgressPlan plan;
    plan.epoch = e;
    plan.epochs = options.epochs;
    plan.epoch_tokens = epoch_tokens;
    plan.alpha = p.alpha;
    plan.min_alpha = p.min_alpha;
    plan.epoch_lr = params.lr;
    plan.verbose = options.verbose;
    plan.progress = options.progress;
    plan.interval = options.interval;
    const std::string epoch_tag = "EPOCH " + std::to_string(e + 1) + "/" + std::to_string(options.epochs) + ": ";
    if (options.verbose) {
      observer.log(epoch_tag + "start, target_tokens=" + std::to_string(epoch_tokens) +
                   ", vector_size=" + std::to_string(p.vector_size) + ", window=" + std::to_string(p.window) +
                   ", min_count=" + std::to_string(p.min_count) + ", max_final_vocab=" +
                   max_vocab_text(p.max_final_vocab) + ", lr_start=" + fixed(params.lr, 5) +
                   ", min_alpha=" + fixed(p.min_alpha, 5) + ", interval=" + fixed(options.interval, 2) +
                   "s, sg=" + flag(p.sg) + ", hs=" + flag(p.hs) + ", cbow_mean=" + flag(p.cbow_mean) +
                   ", negatives=" + std::to_string(p.negative) + ", levels=" + levels_text(p.levels) +
                   ", workers=" + std::to_string(p.workers));
      observer.log(epoch_tag + "PROGRESS at " + fixed(0.0, 2) + "% tokens, alpha " + fixed(params.lr, 5) +
                   ", 0 tokens/s");
    }
    const EpochContext ctx{model, source, observer, options, params, plan, stop};
    uint64_t trained = 0;
    if (threaded) {
      trained = threaded_epoch(ctx, *shared);
    } else {
      sequential_epoch(ctx);
    }
    check_interrupt(observer, stop);
    check_finite(model, shared, e, options.epochs);
    if (threaded && options.verbose) {
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      const double rate = seconds > 0.0 ? std::round(static_cast<double>(trained) / seconds) : 0.0;
      observer.log(epoch_tag + "end, elapsed=" + fixed(seconds, 2) + "s, tokens=" + std::to_string(trained) +
                   ", tokens/s=" + std::to_string(static_cast<uint64_t>(rate)) +
                   ", lr_end=" + fixed(display_lr(plan, epoch_tokens * e + trained), 5));
    }
  }
}

}  // namespace tarnivel
