#include "binding/py_driver.hpp"

#include <chrono>
#include <optional>
#include <string>

#include "binding/py_corpus.hpp"
#include "binding/py_file_corpus.hpp"
#include "binding/py_logging.hpp"
#include "model/vocab.hpp"
#include "training/driver.hpp"

namespace tarnivel::py {
namespace {

// The pending-signal check, taking the interpreter lock for it unless the thread holds it. A raised
// exception is discarded here: the caller sets the stop flag and the call ends with "training
// interrupted".
template <bool kHeld>
class GilSignalProbe final : public SignalProbe {
 public:
  bool interrupted() override {
    std::optional<GilHold> gil;
    if (!kHeld) gil.emplace();
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) PyErr_Clear();
    return raised;
  }
};

// Sequential mode keeps the interpreter lock across short sentences and lets it go around a
// sentence only when the sentence reaches the second signal check (position 1024), when one example
// is heavy, or when the lock has been held for this long: releasing and re-taking the lock twice per
// sentence cost more than training a short sentence, while other Python threads still get the lock
// at least this often, like the interpreter's own switch interval.
constexpr auto kSequentialGilHold = std::chrono::milliseconds(5);
constexpr std::size_t kLongSentence = 1025;

// The interpreter side of a training call: logging, the progress callable, signals and the lock.
class PyObserver final : public TrainObserver {
 public:
  explicit PyObserver(PyObject* callback) : callback_(callback) {}

  void log(const std::string& line) override { log_info(line); }
  void progress(uint64_t done, uint64_t total) override {
    GilHold gil;
    PyObject* result = PyObject_CallFunction(callback_, "KK", static_cast<unsigned long long>(done),
                                             static_cast<unsigned long long>(total));
    if (result != nullptr) {
      Py_DECREF(result);
    } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
      PyErr_Clear();  // a failing callable never stops training
    } else {
      throw PythonError::fetch();  // KeyboardInterrupt, SystemExit...
    }
  }
  void check_interrupt() override {
    if (PyErr_CheckSignals() < 0) throw PythonError::fetch();
  }
  void unlocked(const std::function<void()>& work) override {
    AllowThreads unlocked;
    work();
  }
  bool sentence(std::size_t length, bool heavy, const std::function<bool(SignalProbe&)>& work) override {
    const auto now = std::chrono::steady_clock::now();
    if (heavy || length >= kLongSentence || now - last_release_ >= kSequentialGilHold) {
      last_release_ = now;
      AllowThreads unlocked;
      return work(probe_);
    }
    return work(held_probe_);
  }
  SignalProbe& released_probe() override { return probe_; }
  std::thread start_thread(std::function<void()> body) override { return start_helper_thread(std::move(body)); }

 private:
  PyObject* callback_;
  GilSignalProbe<false> probe_;
  GilSignalProbe<true> held_probe_;
  std::chrono::steady_clock::time_point last_release_ = std::chrono::steady_clock::now();
};

// The sentences of a corpus that the interpreter iterates, converted one by one.
class IteratedSentences final : public SentenceStream {
 public:
  IteratedSentences(PyObject* corpus, std::shared_ptr<const CorpusLookup> lookup)
      : it_(Ref::checked(PyObject_GetIter(corpus))), lookup_(std::move(lookup)) {}
  bool next(std::span<const uint64_t>& sentence) override {
    return fetching([&] {
      while (Ref item{PyIter_Next(it_.get())}) {
        buffer_.clear();
        if (append_sentence(item.get(), *lookup_, buffer_) == 0) continue;  // no known word
        sentence = buffer_;
        return true;
      }
      if (PyErr_Occurred()) throw PyErrorSet{};
      return false;
    });
  }

 private:
  Ref it_;
  std::shared_ptr<const CorpusLookup> lookup_;
  std::vector<uint64_t> buffer_;
};

// A reference that any thread may drop (taking the interpreter lock for it): the reader of a
// threaded epoch owns its corpus and iterator this way.
std::shared_ptr<PyObject> shared_ref(PyObject* owned) {
  return {owned, [](PyObject* p) { GilHold gil; Py_DECREF(p); }};
}

// Reads a threaded epoch from the interpreter: windows of `chunk_size` items taken under the
// interpreter lock, converted straight into chunks.
void read_python_epoch(PyObject* corpus, const CorpusLookup& lookup, uint64_t chunk_size, ChunkChannel& channel,
                       const std::atomic<bool>& cancel) {
  // Chunks carry 16-bit indices when every index of the vocabulary fits them.
  const bool narrow = lookup.max_index() <= SentenceChunk::kMaxNarrowIndex;
  // Reserve for the common case only: a huge W2V_CHUNK must not turn into a huge up-front allocation.
  const std::size_t reserve = static_cast<std::size_t>(std::min<uint64_t>(chunk_size, 8192));
  std::size_t last_words = 0;  // the previous chunk's word count, to size the next one at once
  std::shared_ptr<PyObject> iterator;
  {
    GilHold gil;
    iterator = shared_ref(fetching([&] { return Ref::checked(PyObject_GetIter(corpus)); }).release());
  }
  for (bool finished = false; !finished;) {
    SentenceChunk chunk(narrow);
    chunk.offsets.reserve(reserve + 1);
    const auto reserve_words = [&](auto& words) { words.reserve(last_words + last_words / 8); };
    narrow ? reserve_words(chunk.narrow_words) : reserve_words(chunk.words);
    {
      GilHold gil;
      for (uint64_t taken = 0; taken < chunk_size && !finished; ++taken) {
        // A finished epoch (or a failed call) stops the reader at once instead of letting it drain
        // the user's iterator in the background.
        if (cancel.load(std::memory_order_relaxed)) break;
        Ref item(PyIter_Next(iterator.get()));
        if (!item) {
          if (PyErr_Occurred()) throw PythonError::fetch();
          finished = true;
          break;
        }
        // Converted straight into the chunk; a sentence without known words leaves nothing, and
        // one that fails leaves nothing either.
        try {
          const std::size_t appended = narrow ? append_sentence(item.get(), lookup, chunk.narrow_words)
                                              : append_sentence(item.get(), lookup, chunk.words);
          if (appended != 0) chunk.end_sentence();
        } catch (const PyErrorSet&) {
          throw PythonError::fetch();
        }
      }
      if (cancel.load(std::memory_order_relaxed)) finished = true;
    }
    last_words = chunk.word_count();
    // Up to 16 * 8 chunks wait in the queue: a buffer that grew well past its words gives the
    // slack back before it waits there.
    const auto shrink = [&](auto& words) {
      if (words.capacity() - last_words > last_words / 4) words.shrink_to_fit();
    };
    narrow ? shrink(chunk.narrow_words) : shrink(chunk.words);
    if (!chunk.empty() && !channel.send(std::move(chunk))) finished = true;
  }
}

// A corpus the interpreter iterates (every item converted under the interpreter lock).
class PythonSource final : public CorpusSource {
 public:
  explicit PythonSource(PyObject* corpus) : corpus_(corpus) {}

  void vocabulary_pass(Model& model) override {
    fetching([&] {
      if (model.vocab.size() == 0) {
        Ref it = Ref::checked(PyObject_GetIter(corpus_));
        WordCounter counter;
        while (Ref item{PyIter_Next(it.get())}) {
          for_each_word(item.get(), [&](std::string_view word) { counter.add(word); });
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
        build_vocab(model, counter);
        return;
      }
      for_each_known(model.vocab, [&](uint64_t index) { add_count(model.vocab, index); });
    });
  }
  uint64_t token_pass(const Vocab& vocab) override {
    uint64_t total = 0;
    fetching([&] { for_each_known(vocab, [&](uint64_t) { ++total; }); });
    return total;
  }
  std::unique_ptr<SentenceStream> sentences(const Vocab& vocab) override {
    lookup(vocab);
    return fetching([&] { return std::make_unique<IteratedSentences>(corpus_, lookup_); });
  }
  EpochRead epoch_reader(const Vocab& vocab, uint64_t chunk_size) override {
    lookup(vocab);
    return [corpus = shared_ref(Ref::borrow(corpus_).release()), table = lookup_, chunk_size](
               ChunkChannel& channel, const std::atomic<bool>& cancel) {
      read_python_epoch(corpus.get(), *table, chunk_size, channel, cancel);
    };
  }

 private:
  // Calls on_index with the index of every known word of one pass.
  template <class F>
  void for_each_known(const Vocab& vocab, F&& on_index) {
    const CorpusLookup& table = lookup(vocab);
    Ref it = Ref::checked(PyObject_GetIter(corpus_));
    while (Ref item{PyIter_Next(it.get())}) {
      for_each_word_object(item.get(), [&](PyObject* word) {
        if (const uint64_t index = table.find(word); index != WordLookup::kMissing) on_index(index);
      });
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  // The word table, built once per call: before the count update of a known vocabulary, or after
  // the vocabulary is built.
  const CorpusLookup& lookup(const Vocab& vocab) {
    if (!lookup_) lookup_ = fetching([&] { return std::make_shared<const CorpusLookup>(vocab.key_to_index); });
    return *lookup_;
  }

  PyObject* corpus_;
  std::shared_ptr<const CorpusLookup> lookup_;
};

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

}  // namespace

void train_model(Model& model, PyObject* corpus, const TrainCall& call) {
  const ModelParams& p = model.params;
  CallOptions options;
  options.epochs = call.epochs.value_or(p.epochs);
  options.verbose = call.verbose.value_or(p.verbose);
  options.interval = call.progress_interval.value_or(p.progress_interval);
  options.progress = call.progress != nullptr;
  const std::string version = Py_GetVersion();
  options.runtime = version.substr(0, version.find(' '));  // "3.11.7"
  options.switches = read_switches();  // with the interpreter lock: nothing else reads the environment
  refuse_one_shot(corpus);
  PyObserver observer(call.progress);
  PythonSource python(corpus);
  std::optional<corpus::FileSource> file;
  if (std::optional<corpus::FileSource::Opener> opener = line_sentence_opener(corpus)) {
    file.emplace(std::move(*opener), &python, observer);
  }
  train(model, file ? static_cast<CorpusSource&>(*file) : python, observer, options);
}

}  // namespace tarnivel::py
