#include "binding/py_driver.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "training/channel.hpp"
#include "binding/py_corpus.hpp"
#include "binding/py_file_corpus.hpp"
#include "binding/py_logging.hpp"
#include "binding/py_progress.hpp"
#include "binding/py_reader.hpp"
#include "model/vocab.hpp"
#include "rng/seed.hpp"
#include "training/huffman.hpp"
#include "training/sentence.hpp"
#include "training/subsample.hpp"
#include "weights/finite.hpp"
#include "weights/init.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel::py {
namespace {

using Clock = std::chrono::steady_clock;

// Everything fixed for one training call.
struct CallSettings {
  uint64_t epochs = 0;  // E
  bool verbose = true;
  double interval = 1.0;
  PyObject* callback = nullptr;
  uint64_t epoch_tokens = 0;  // T
  bool threaded = false;
  bool row_locks = true;  // TARNIVEL_ROW_LOCKS, read at the start of the call
};

// TARNIVEL_ROW_LOCKS=0 turns the row stripes of threaded training off for a call; anything else, or
// nothing, keeps them.
bool row_locks_setting() {
  const char* text = std::getenv("TARNIVEL_ROW_LOCKS");
  return text == nullptr || std::string_view(text) != "0";
}

// TARNIVEL_ARITHMETIC=fast selects the fast arithmetic for a call; anything else, or nothing, the exact.
Arithmetic arithmetic_setting() {
  const char* text = std::getenv("TARNIVEL_ARITHMETIC");
  return text != nullptr && std::string_view(text) == "fast" ? Arithmetic::kFast : Arithmetic::kExact;
}

// The pending-signal check, with the interpreter lock taken just for it. A raised exception is
// discarded here: the caller sets the stop flag and the call ends with "training interrupted".
class GilSignalProbe final : public SignalProbe {
 public:
  bool interrupted() override {
    PyGILState_STATE gil = ensure_gil();
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) PyErr_Clear();
    PyGILState_Release(gil);
    return raised;
  }
};

// The same check for a thread that already holds the interpreter lock.
class HeldGilSignalProbe final : public SignalProbe {
 public:
  bool interrupted() override {
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) PyErr_Clear();
    return raised;
  }
};

// Sequential mode keeps the interpreter lock across short sentences and lets it go around a
// sentence only when the sentence reaches the second signal check (position 1024), or when the lock
// has been held for this long: releasing and re-taking the lock twice per sentence (once around it,
// once for the check at position 0) cost more than training a short sentence. The signal checks
// stay where they were (positions 0, 1024, ... and after each sentence), and other Python threads
// still get the lock at least this often, like the interpreter's own switch interval.
constexpr auto kSequentialGilHold = std::chrono::milliseconds(5);
constexpr std::size_t kLongSentence = 1025;
// ...and around every sentence when one example alone touches this many row components (its targets,
// `negative` + 1, times the sum of the widths): then a sentence takes milliseconds to seconds, and
// holding the lock through it would stop every other Python thread for that long.
constexpr uint64_t kHeavyExample = uint64_t{1} << 18;

bool heavy_examples(const TrainParams& params) {
  if (params.hs) return false;  // a Huffman path is short
  uint64_t widths = 0;
  for (const uint64_t level : params.levels) widths += level;
  return params.negative >= kHeavyExample || (params.negative + 1) * widths >= kHeavyExample;
}

[[noreturn]] void raise_interrupted() { raise(PyExc_KeyboardInterrupt, "training interrupted"); }

// Runs pending signal handlers; an exception sets the stop flag and ends the call with it.
void check_signals(std::atomic<bool>& stop) {
  if (PyErr_CheckSignals() < 0) {
    stop.store(true, std::memory_order_relaxed);
    throw PyErrorSet{};
  }
}

void log_line(const std::string& message) {
  if (log_info(message, true) == LogResult::interrupted) throw PyErrorSet{};
}

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

uint64_t logical_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<uint64_t>(CPU_COUNT(&set));
  return std::thread::hardware_concurrency();
}

std::string python_version_word() {
  PyObject* version = PySys_GetObject("version");  // borrowed
  if (version == nullptr || !PyUnicode_Check(version)) return "unknown";
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(version, &len);
  if (text == nullptr) {
    PyErr_Clear();
    return "unknown";
  }
  std::string word(text, static_cast<std::size_t>(len));
  word = word.substr(0, word.find_first_of(" \t\n"));
  return word.empty() ? "unknown" : word;
}

// Processor family of the build, the vector extension the build relies on, and the extensions the
// processor offers at run time.
std::string arch_line() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  std::string runtime = std::string("sse4.2=") + flag(__builtin_cpu_supports("sse4.2")) +
                        ",avx=" + flag(__builtin_cpu_supports("avx")) +
                        ",avx2=" + flag(__builtin_cpu_supports("avx2")) +
                        ",fma=" + flag(__builtin_cpu_supports("fma")) +
                        ",avx512f=" + flag(__builtin_cpu_supports("avx512f"));
  return "arch=x86_64, simd_feature=sse2, simd_runtime=" + runtime;
#elif defined(__aarch64__)
  return "arch=aarch64, simd_feature=disabled, simd_runtime=neon=true";
#else
  return "arch=unknown, simd_feature=disabled, simd_runtime=none";
#endif
}

// The vocabulary pass: builds the vocabulary of an empty model, or adds counts to an existing one
// (whose words `lookup` holds).
void vocabulary_pass(Model& model, PyObject* corpus, const std::optional<CorpusLookup>& lookup) {
  Ref it = Ref::checked(PyObject_GetIter(corpus));
  if (model.vocab.size() == 0) {
    WordCounter counter;
    while (Ref item{PyIter_Next(it.get())}) {
      for_each_word(item.get(), [&](std::string_view word) { counter.add(word); });
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    build_vocab(model, counter);
    return;
  }
  TARNIVEL_CHECK(lookup.has_value(), "count update without a word table");
  while (Ref item{PyIter_Next(it.get())}) {
    for_each_word_object(item.get(), [&](PyObject* word) {
      const uint64_t index = lookup->find(word);
      if (index != WordLookup::kMissing) add_count(model.vocab, index);
    });
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
}

// Prepares the hierarchical-softmax tree or the negative-sampling table.
void output_setup(Model& model, bool verbose) {
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
      log_line("TRAIN setup: built Huffman tree (vocab=" + std::to_string(vocab) +
               ", nodes=" + std::to_string(nodes) + ")");
    }
  } else if (p.negative > 0) {
    auto& counts = model.vocab.counts;
    if (counts.size() != vocab) counts.assign(vocab, 1);
    model.alias = AliasTable::build(noise_weights(counts));
    if (verbose) {
      log_line("TRAIN setup: built alias table for negative sampling (vocab=" + std::to_string(vocab) +
               ", negatives=" + std::to_string(p.negative) + ")");
    }
  }
}

uint64_t token_pass(const CorpusLookup& lookup, PyObject* corpus) {
  Ref it = Ref::checked(PyObject_GetIter(corpus));
  uint64_t total = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    for_each_word_object(item.get(), [&](PyObject* word) {
      if (lookup.find(word) != WordLookup::kMissing) ++total;
    });
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
  return total;
}

void log_setup(const Model& model, const CallSettings& call) {
  const ModelParams& p = model.params;
  log_line("TRAIN setup: vocab=" + std::to_string(model.vocab.size()) +
           ", vector_size=" + std::to_string(p.vector_size) + ", window=" + std::to_string(p.window) +
           ", min_count=" + std::to_string(p.min_count) + ", max_final_vocab=" + max_vocab_text(p.max_final_vocab) +
           ", workers=" + std::to_string(p.workers) + ", sg=" + flag(p.sg) + ", hs=" + flag(p.hs) +
           ", cbow_mean=" + flag(p.cbow_mean) + ", negative=" + std::to_string(p.negative) +
           ", levels=" + levels_text(p.levels) + ", alpha_start=" + fixed(p.alpha, 5) +
           ", min_alpha=" + fixed(p.min_alpha, 5) + ", log_interval=" + fixed(p.progress_interval, 2) + "s");
  log_line("TRAIN setup: hardware cores=" + std::to_string(logical_cores()) +
           ", rayon_threads=" + std::to_string(pool_threads()) + ", workers=" + std::to_string(p.workers));
  log_line("TRAIN setup: env pid=" + std::to_string(static_cast<long long>(getpid())) +
           ", py=" + python_version_word() + ", " + arch_line());
  log_line("TRAIN setup: total_tokens_per_epoch=" + std::to_string(call.epoch_tokens) +
           ", epochs=" + std::to_string(call.epochs));
}

float epoch_rate(const ModelParams& p, uint64_t e, uint64_t epochs) {
  const float fraction = static_cast<float>(e) / static_cast<float>(epochs);
  float lr = p.alpha - fraction * (p.alpha - p.min_alpha);
  if (lr < p.min_alpha) lr = p.min_alpha;
  return lr;
}

OutputTables tables_of(const Model& model) {
  OutputTables tables;
  tables.tree = &model.tree;
  tables.alias = &model.alias;
  return tables;
}

// The sentences of a corpus that the interpreter iterates, converted one by one.
class IteratedSentences {
 public:
  IteratedSentences(PyObject* corpus, const CorpusLookup& lookup)
      : it_(Ref::checked(PyObject_GetIter(corpus))), lookup_(lookup) {}
  // The next sentence with a known word (valid until the next call); false at the end. Raises the
  // errors of the iterator and of the conversion.
  bool operator()(std::span<const uint64_t>& sentence) {
    while (Ref item{PyIter_Next(it_.get())}) {
      if (!convert_sentence(item.get(), lookup_, buffer_)) continue;
      sentence = buffer_;
      return true;
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    return false;
  }

 private:
  Ref it_;
  const CorpusLookup& lookup_;
  std::vector<uint64_t> buffer_;
};

// One sequential epoch: the calling thread reads, converts and trains sentence by sentence.
// `next_sentence(span&)` delivers the sentences (IteratedSentences, or FileSentences for a file).
template <class NextSentence>
void sequential_epoch(Model& model, NextSentence&& next_sentence, const TrainParams& params,
                      const ProgressPlan& plan, std::atomic<bool>& stop) {
  ChaChaStream stream = stream_for_epoch(plan.epoch);
  GilSignalProbe probe;
  HeldGilSignalProbe held_probe;
  const OutputTables tables = tables_of(model);
  PlainMatrices matrices{model.input_vectors, model.output_vectors, model.params.vector_size};
  const bool reporting = plan.verbose || plan.callback != nullptr;
  const bool heavy = heavy_examples(params);
  double min_gap = plan.interval;
  if (!(min_gap >= 0.01)) min_gap = 0.01;
  const auto start = Clock::now();
  auto last_report = start;
  auto last_release = start;
  uint64_t p = 0;
  std::span<const uint64_t> sentence;
  while (next_sentence(sentence)) {
    bool interrupted = false;
    if (matrices.dim != 0) {  // zero-width rows have nothing to train
      const auto now = Clock::now();
      if (heavy || sentence.size() >= kLongSentence || now - last_release >= kSequentialGilHold) {
        last_release = now;
        AllowThreads unlocked;
        interrupted = train_sentence(sentence, stream, params, tables, matrices, stop, probe);
      } else {
        interrupted = train_sentence(sentence, stream, params, tables, matrices, stop, held_probe);
      }
    }
    if (interrupted) {
      stop.store(true, std::memory_order_relaxed);
      raise_interrupted();
    }
    p += sentence.size();
    if (reporting) {
      const auto now = Clock::now();
      if (std::chrono::duration<double>(now - last_report).count() >= min_gap) {
        last_report = now;
        if (plan.verbose) log_line(progress_line(plan, p, std::chrono::duration<double>(now - start).count()));
        if (plan.callback != nullptr &&
            !call_progress(plan.callback, plan.epoch_tokens * plan.epoch + p, plan.epochs * plan.epoch_tokens)) {
          stop.store(true, std::memory_order_relaxed);
          throw PyErrorSet{};
        }
      }
    }
    check_signals(stop);
  }
  if (plan.verbose) {
    log_line(progress_line(plan, p, std::chrono::duration<double>(Clock::now() - start).count()));
  }
}

// The matrices of a threaded call, moved into shared wrappers and back into the model on every exit.
class SharedWeights {
 public:
  explicit SharedWeights(Model& model)
      : model_(model),
        input_(SharedMatrix::wrap(std::move(model.input_vectors), model.params.vector_size)),
        output_(SharedMatrix::wrap(std::move(model.output_vectors), model.params.vector_size)) {}
  ~SharedWeights() {
    // Every chunk's copies of the wrappers are gone by now, so giving the arrays back cannot fail;
    // should it ever, the matrices are lost rather than the process.
    try {
      model_.input_vectors = input_.into_array();
      model_.output_vectors = output_.into_array();
    } catch (...) {
    }
  }
  SharedWeights(const SharedWeights&) = delete;
  SharedWeights& operator=(const SharedWeights&) = delete;
  const SharedMatrix& input() const { return input_; }
  const SharedMatrix& output() const { return output_; }

 private:
  Model& model_;
  SharedMatrix input_;
  SharedMatrix output_;
};

// One threaded epoch's data phase. Returns the tokens counted by the progress counter (0 without one).
uint64_t threaded_epoch(Model& model, PyObject* corpus, FileCorpus* file, const CorpusLookup& lookup,
                        const TrainParams& params, const ProgressPlan& plan, const SharedWeights& weights,
                        bool row_locks,
                        std::atomic<bool>& stop) {
  std::shared_ptr<std::atomic<uint64_t>> counter;
  std::optional<Reporter> reporter;
  if (plan.verbose || plan.callback != nullptr) {
    counter = std::make_shared<std::atomic<uint64_t>>(0);
    reporter.emplace(plan, counter, stop);
  }
  const uint64_t workers = std::max<uint64_t>(model.params.workers, 1);
  auto channel = std::make_shared<ChunkChannel>(static_cast<std::size_t>(std::min<uint64_t>(workers, 16) * 8));
  EpochReader reader(corpus, file, model.vocab.key_to_index, lookup, channel);
  GilSignalProbe probe;
  const OutputTables tables = tables_of(model);

  Ref signal_type, signal_value, signal_tb;
  for (;;) {
    if (counter && counter->load(std::memory_order_relaxed) >= plan.epoch_tokens) break;
    SentenceChunk chunk;
    ChunkChannel::Status status;
    {
      AllowThreads unlocked;
      status = channel->receive(chunk, std::chrono::milliseconds(200));
    }
    if (status == ChunkChannel::Status::timeout) continue;
    if (status == ChunkChannel::Status::disconnected) break;
    bool stopped = false;
    if (model.params.vector_size == 0) {  // zero-width rows have nothing to train
      if (counter) counter->fetch_add(chunk.word_count(), std::memory_order_relaxed);
    } else {
      ChunkWork work;
      work.chunk = &chunk;
      work.params = &params;
      work.tables = tables;
      work.input = weights.input();
      work.output = weights.output();
      work.stop = &stop;
      work.progress = counter.get();
      work.caller_probe = &probe;
      work.max_threads = static_cast<std::size_t>(workers);
      work.row_locks = row_locks;
      AllowThreads unlocked;
      stopped = train_chunk(work);
    }
    if (stopped) stop.store(true, std::memory_order_relaxed);
    if (PyErr_CheckSignals() < 0) {
      stop.store(true, std::memory_order_relaxed);
      PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
      PyErr_Fetch(&t, &v, &tb);
      signal_type = Ref(t), signal_value = Ref(v), signal_tb = Ref(tb);
      break;
    }
    if (stop.load(std::memory_order_relaxed)) break;
  }
  channel->close_receiver();
  reader.join();
  if (reporter) reporter->finish();
  if (signal_type) {
    PyErr_Restore(signal_type.release(), signal_value.release(), signal_tb.release());
    throw PyErrorSet{};
  }
  if (reader.restore_error()) throw PyErrorSet{};
  if (reporter && reporter->restore_error()) throw PyErrorSet{};
  return counter ? counter->load(std::memory_order_relaxed) : 0;
}

// A corpus that is its own iterator (a generator, a file object, map(...)) can be read only once: the
// vocabulary pass would exhaust it and every later pass would see nothing, so it is refused up front.
void refuse_one_shot(PyObject* corpus) {
  Ref it = Ref::checked(PyObject_GetIter(corpus));
  if (it.get() == corpus) {
    raise(PyExc_TypeError,
          "the corpus is a one-shot iterator (" + type_name(corpus) +
              "), but training reads it several times: pass a re-iterable such as a list, a LineSentence, "
              "or an object whose __iter__ starts over");
  }
}

// After an epoch: a NaN or an infinity in either matrix means the updates diverged (the rate is too
// large for the data); every later update and query would only spread it, so the call stops. One
// pass over both matrices per epoch: about a millisecond for a 24k x 100 vocabulary, against
// seconds for the epoch.
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

}  // namespace

void train_model(Model& model, PyObject* corpus, const TrainCall& call_args) {
  const ModelParams& p = model.params;
  CallSettings call;
  call.epochs = call_args.epochs.value_or(p.epochs);
  call.verbose = call_args.verbose.value_or(p.verbose);
  call.interval = call_args.progress_interval.value_or(p.progress_interval);
  call.callback = call_args.progress;
  call.threaded = p.workers >= 2;
  call.row_locks = row_locks_setting();
  refuse_one_shot(corpus);
  check_subsampling(model);  // before the vocabulary pass adds to counts
  const bool building = model.vocab.size() == 0;
  // A LineSentence is read natively in every pass (each pass may still fall back to the interpreter).
  std::optional<FileCorpus> file = FileCorpus::of(corpus);

  // The word table is built once per call: before the count update of a known vocabulary, or after
  // the vocabulary is built.
  std::optional<CorpusLookup> lookup;
  if (model.vocab.size() != 0) lookup.emplace(model.vocab.key_to_index);
  if (!file || !file_vocabulary_pass(*file, model)) vocabulary_pass(model, corpus, lookup);
  if (building) model.counts_known = true;  // the counts of the vocabulary just built
  if (!lookup) lookup.emplace(model.vocab.key_to_index);
  // Threaded epochs carry indices in 32 bits. No vocabulary that large fits in memory, but should one
  // ever reach here it is refused rather than truncated.
  if (call.threaded && lookup->max_index() > SentenceChunk::kMaxIndex) {
    throw ValueError("vocabulary too large for multi-worker training: " + std::to_string(model.vocab.size()) +
                     " words (at most 4294967296)");
  }
  output_setup(model, call.verbose);
  TrainParams params;
  params.window = p.window;
  params.sg = p.sg;
  params.hs = p.hs;
  params.cbow_mean = p.cbow_mean;
  params.negative = p.negative;
  params.arithmetic = arithmetic_setting();
  // Widths never exceed the rows: only vector_size 0 (whose default levels are [1]) could ask for
  // more, and a width of 0 trains nothing instead of reading past the matrices.
  for (const uint64_t level : p.levels) params.levels.push_back(std::min(level, p.vector_size));
  const std::optional<KeepTable> keep = keep_table(model);  // once per call
  params.keep = keep ? &*keep : nullptr;
  std::atomic<bool> stop{false};
  const std::optional<uint64_t> file_tokens = file ? file_token_pass(*file, model.vocab) : std::nullopt;
  call.epoch_tokens = file_tokens ? *file_tokens : token_pass(*lookup, corpus);
  if (call.verbose) log_setup(model, call);

  std::optional<SharedWeights> shared;
  if (call.threaded) shared.emplace(model);
  for (uint64_t e = 0; e < call.epochs; ++e) {
    check_signals(stop);
    if (stop.load(std::memory_order_relaxed)) raise_interrupted();
    const auto start = Clock::now();
    params.lr = epoch_rate(p, e, call.epochs);
    ProgressPlan plan;
    plan.epoch = e;
    plan.epochs = call.epochs;
    plan.epoch_tokens = call.epoch_tokens;
    plan.alpha = p.alpha;
    plan.min_alpha = p.min_alpha;
    plan.epoch_lr = params.lr;
    plan.verbose = call.verbose;
    plan.callback = call.callback;
    plan.interval = call.interval;
    const std::string epoch_tag = "EPOCH " + std::to_string(e + 1) + "/" + std::to_string(call.epochs) + ": ";
    if (call.verbose) {
      log_line(epoch_tag + "start, target_tokens=" + std::to_string(call.epoch_tokens) +
               ", vector_size=" + std::to_string(p.vector_size) + ", window=" + std::to_string(p.window) +
               ", min_count=" + std::to_string(p.min_count) + ", max_final_vocab=" + max_vocab_text(p.max_final_vocab) +
               ", lr_start=" + fixed(params.lr, 5) + ", min_alpha=" + fixed(p.min_alpha, 5) +
               ", interval=" + fixed(call.interval, 2) + "s, sg=" + flag(p.sg) + ", hs=" + flag(p.hs) +
               ", cbow_mean=" + flag(p.cbow_mean) + ", negatives=" + std::to_string(p.negative) +
               ", levels=" + levels_text(p.levels) + ", workers=" + std::to_string(p.workers));
      log_line(epoch_tag + "PROGRESS at " + fixed(0.0, 2) + "% tokens, alpha " + fixed(params.lr, 5) + ", 0 tokens/s");
    }
    uint64_t trained = 0;
    if (call.threaded) {
      trained = threaded_epoch(model, corpus, file ? &*file : nullptr, *lookup, params, plan, *shared,
                               call.row_locks, stop);
    } else if (std::optional<FileCorpus::Pass> pass = file ? file->open() : std::nullopt) {
      FileSentences sentences(std::move(*pass), file->words(model.vocab.key_to_index));
      sequential_epoch(model, [&](std::span<const uint64_t>& s) { return sentences.next(s); }, params, plan, stop);
    } else {
      sequential_epoch(model, IteratedSentences(corpus, *lookup), params, plan, stop);
    }
    check_signals(stop);
    if (stop.load(std::memory_order_relaxed)) raise_interrupted();
    check_finite(model, shared, e, call.epochs);
    if (call.threaded && call.verbose) {
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      const double rate = seconds > 0.0 ? std::round(static_cast<double>(trained) / seconds) : 0.0;
      log_line(epoch_tag + "end, elapsed=" + fixed(seconds, 2) + "s, tokens=" + std::to_string(trained) +
               ", tokens/s=" + std::to_string(static_cast<uint64_t>(rate)) +
               ", lr_end=" + fixed(display_lr(plan, call.epoch_tokens * e + trained), 5));
    }
  }
}

}  // namespace tarnivel::py
