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

// The pending-signal check, with the interpreter lock taken just for it. A raised exception is
// discarded here: the caller sets the stop flag and the call ends with "training interrupted".
class GilSignalProbe final : public SignalProbe {
 public:
  bool interrupted() override {
    GilHold gil;
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) PyErr_Clear();
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

  void log(const std::string& line) override {
    GilHold gil;
    if (log_info(line, true) == LogResult::interrupted) throw PythonError::fetch();
  }
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
  GilSignalProbe probe_;
  HeldGilSignalProbe held_probe_;
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
        if (!convert_sentence(item.get(), *lookup_, buffer_)) continue;
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

// A reference that any thread may drop: the reader of a threaded epoch owns its corpus this way.
struct SharedRef {
  explicit SharedRef(PyObject* borrowed) : p(borrowed) { Py_INCREF(p); }
  ~SharedRef() {
    GilHold gil;
    Py_DECREF(p);
  }
  PyObject* p;
};

// Reads a threaded epoch from the interpreter: windows of `chunk_size` items taken under the
// interpreter lock, converted straight into chunks.
void read_python_epoch(PyObject* corpus, const CorpusLookup& lookup, uint64_t chunk_size, ChunkChannel& channel,
                       const std::atomic<bool>& cancel) {
  // Chunks carry 16-bit indices when every index of the vocabulary fits them.
  const bool narrow = lookup.max_index() <= SentenceChunk::kMaxNarrowIndex;
  // Reserve for the common case only: a huge W2V_CHUNK must not turn into a huge up-front allocation.
  const std::size_t reserve = static_cast<std::size_t>(std::min<uint64_t>(chunk_size, 8192));
  std::size_t last_words = 0;  // the previous chunk's word count, to size the next one at once
  std::optional<Ref> iterator;
  {
    GilHold gil;
    iterator.emplace(fetching([&] { return Ref::checked(PyObject_GetIter(corpus)); }));
  }
  struct DropIterator {  // the iterator goes with the interpreter lock, however the reading ends
    std::optional<Ref>& it;
    ~DropIterator() {
      GilHold gil;
      it.reset();
    }
  } drop{iterator};
  for (bool finished = false; !finished;) {
    SentenceChunk chunk(narrow);
    chunk.offsets.reserve(reserve + 1);
    if (narrow) {
      chunk.narrow_words.reserve(last_words + last_words / 8);
    } else {
      chunk.words.reserve(last_words + last_words / 8);
    }
    {
      GilHold gil;
      for (uint64_t taken = 0; taken < chunk_size && !finished; ++taken) {
        // A finished epoch (or a failed call) stops the reader at once instead of letting it drain
        // the user's iterator in the background.
        if (cancel.load(std::memory_order_relaxed)) break;
        Ref item(PyIter_Next(iterator->get()));
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
    if (chunk.narrow && chunk.narrow_words.capacity() - last_words > last_words / 4) chunk.narrow_words.shrink_to_fit();
    if (!chunk.narrow && chunk.words.capacity() - last_words > last_words / 4) chunk.words.shrink_to_fit();
    if (!chunk.empty() && !channel.send(std::move(chunk))) finished = true;
  }
}

// A corpus the interpreter iterates (every item converted under the interpreter lock).
class PythonSource final : public CorpusSource {
 public:
  explicit PythonSource(PyObject* corpus) : corpus_(corpus) {}

  void vocabulary_pass(Model& model) override {
    fetching([&] {
      Ref it = Ref::checked(PyObject_GetIter(corpus_));
      if (model.vocab.size() == 0) {
        WordCounter counter;
        while (Ref item{PyIter_Next(it.get())}) {
          for_each_word(item.get(), [&](std::string_view word) { counter.add(word); });
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
        build_vocab(model, counter);
        return;
      }
      const CorpusLookup& table = lookup(model.vocab);
      while (Ref item{PyIter_Next(it.get())}) {
        for_each_word_object(item.get(), [&](PyObject* word) {
          const uint64_t index = table.find(word);
          if (index != WordLookup::kMissing) add_count(model.vocab, index);
        });
      }
      if (PyErr_Occurred()) throw PyErrorSet{};
    });
  }
  uint64_t token_pass(const Vocab& vocab) override {
    return fetching([&] {
      const CorpusLookup& table = lookup(vocab);
      Ref it = Ref::checked(PyObject_GetIter(corpus_));
      uint64_t total = 0;
      while (Ref item{PyIter_Next(it.get())}) {
        for_each_word_object(item.get(), [&](PyObject* word) {
          if (table.find(word) != WordLookup::kMissing) ++total;
        });
      }
      if (PyErr_Occurred()) throw PyErrorSet{};
      return total;
    });
  }
  std::unique_ptr<SentenceStream> sentences(const Vocab& vocab) override {
    lookup(vocab);
    return fetching([&] { return std::make_unique<IteratedSentences>(corpus_, lookup_); });
  }
  EpochRead epoch_reader(const Vocab& vocab, uint64_t chunk_size) override {
    lookup(vocab);
    return [corpus = std::make_shared<SharedRef>(corpus_), table = lookup_, chunk_size](
               ChunkChannel& channel, const std::atomic<bool>& cancel) {
      read_python_epoch(corpus->p, *table, chunk_size, channel, cancel);
    };
  }

 private:
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

}  // namespace

void train_model(Model& model, PyObject* corpus, const TrainCall& call) {
  const ModelParams& p = model.params;
  CallOptions options;
  options.epochs = call.epochs.value_or(p.epochs);
  options.verbose = call.verbose.value_or(p.verbose);
  options.interval = call.progress_interval.value_or(p.progress_interval);
  options.progress = call.progress != nullptr;
  options.runtime = python_version_word();
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
