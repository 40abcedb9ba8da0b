#include "binding/py_file_corpus.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "binding/py_convert.hpp"
#include "model/vocab.hpp"

namespace tarnivel::py {
namespace {

using corpus::LineReader;

// tarnivel.corpus.LineSentence when tarnivel.corpus has been imported (a LineSentence cannot exist
// otherwise), else NULL. New reference.
Ref line_sentence_class() {
  Ref name = Ref::checked(PyUnicode_FromString("tarnivel.corpus"));
  Ref module(PyImport_GetModule(name.get()));
  if (!module) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return Ref();
  }
  Ref cls(PyObject_GetAttrString(module.get(), "LineSentence"));
  if (!cls || !PyType_Check(cls.get())) {
    PyErr_Clear();
    return Ref();
  }
  return cls;
}

// An attribute, or NULL (with no exception set) when reading it fails.
Ref attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value) PyErr_Clear();
  return value;
}

// Raises OSError for `err` naming `path`, as Python's open() does.
[[noreturn]] void raise_os_error(int err, PyObject* path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  throw PyErrorSet{};
}

// Opens `path` (a str or bytes object) for a native pass. nullopt when Python's own code must read
// it (see FileCorpus::open); raises when opening fails.
std::optional<FileCorpus::Pass> open_path(PyObject* path, uint64_t max_words) {
  Ref encoded;
  if (PyUnicode_Check(path)) {
    encoded = Ref(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
      PyErr_Clear();
      return std::nullopt;
    }
  } else if (PyBytes_Check(path)) {
    encoded = Ref::borrow(path);
  } else {
    return std::nullopt;
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) throw PyErrorSet{};
  if (std::memchr(bytes, '\0', static_cast<std::size_t>(size)) != nullptr) return std::nullopt;
  struct stat info;
  if (::stat(bytes, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int fd = ::open(bytes, O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_os_error(errno, path);
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    raise_os_error(EISDIR, path);
  }
  FileCorpus::Pass pass;
  pass.reader = std::make_unique<LineReader>(fd);
  pass.max_words = max_words;
  return pass;
}

// max_sentence_length as the native reader takes it: 0 for None, the value for an int of at least 1
// (one beyond 64 bits limits nothing). nullopt for anything else, which Python's code handles.
std::optional<uint64_t> max_words_of(PyObject* limit) {
  if (limit == Py_None) return 0;
  if (!PyLong_Check(limit)) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow > 0) return 0;
  if (overflow < 0 || value < 1) return std::nullopt;
  return static_cast<uint64_t>(value);
}

// Checks for pending signals between blocks of a pass; an exception ends the pass with it.
void check_pass_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
}

// Reads every block of a pass, handing each to `on_lines` with the interpreter lock released, and
// raises the error that ends the file.
template <class F>
void read_pass(LineReader& reader, F&& on_lines) {
  for (;;) {
    LineReader::Status status;
    {
      AllowThreads unlocked;
      status = reader.next();
      if (status == LineReader::Status::lines) on_lines(reader.lines());
    }
    if (status == LineReader::Status::end) return;
    if (status != LineReader::Status::lines) raise_read_error(reader, status);
    check_pass_signals();
  }
}

}  // namespace

std::optional<FileCorpus> FileCorpus::of(PyObject* corpus) {
  Ref cls = line_sentence_class();
  if (!cls) return std::nullopt;
  if (!PyType_IsSubtype(Py_TYPE(corpus), reinterpret_cast<PyTypeObject*>(cls.get()))) return std::nullopt;
  // A subclass with its own __iter__ yields whatever it likes: only Python can run it.
  Ref own = attribute(cls.get(), "__iter__");
  Ref used = attribute(reinterpret_cast<PyObject*>(Py_TYPE(corpus)), "__iter__");
  if (!own || own.get() != used.get()) return std::nullopt;
  return FileCorpus(corpus);
}

std::optional<FileCorpus::Pass> FileCorpus::open() const {
  Ref path = attribute(corpus_.get(), "path");
  Ref limit = attribute(corpus_.get(), "max_sentence_length");
  if (!path || !limit) return std::nullopt;
  const std::optional<uint64_t> max_words = max_words_of(limit.get());
  if (!max_words) return std::nullopt;
  return open_path(path.get(), *max_words);
}

const corpus::ByteLookup& FileCorpus::words(const KeyIndexMap& key_to_index) {
  if (!words_) words_ = std::make_shared<corpus::ByteLookup>(key_to_index);
  return *words_;
}

void raise_read_error(const LineReader& reader, LineReader::Status status) {
  if (status == LineReader::Status::os_error) {
    errno = reader.os_error();
    PyErr_SetFromErrno(PyExc_OSError);
    throw PyErrorSet{};
  }
  TARNIVEL_CHECK(status == LineReader::Status::decode_error, "no read error to raise");
  const corpus::DecodeError& e = reader.decode_error();
  Ref error = Ref::checked(PyUnicodeDecodeError_Create(
      "utf-8", e.input.data(), static_cast<Py_ssize_t>(e.input.size()),
      static_cast<Py_ssize_t>(e.start - e.input_start), static_cast<Py_ssize_t>(e.end - e.input_start), e.reason));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw PyErrorSet{};
}

bool file_vocabulary_pass(FileCorpus& file, Model& model) {
  std::optional<FileCorpus::Pass> pass = file.open();
  if (!pass) return false;
  if (model.vocab.size() == 0) {
    corpus::WordCounts counts;
    read_pass(*pass->reader, [&](std::string_view lines) { corpus::count_words(lines, counts); });
    WordCounter counter;
    counts.for_each([&](std::string_view word, uint64_t count) { counter.add(word, count); });
    build_vocab(model, counter);
    return true;
  }
  const corpus::ByteLookup& words = file.words(model.vocab.key_to_index);
  read_pass(*pass->reader, [&](std::string_view lines) {
    corpus::for_each_known(lines, words, [&](uint64_t index) { add_count(model.vocab, index); });
  });
  return true;
}

std::optional<uint64_t> file_token_pass(FileCorpus& file, const Vocab& vocab) {
  std::optional<FileCorpus::Pass> pass = file.open();
  if (!pass) return std::nullopt;
  const corpus::ByteLookup& words = file.words(vocab.key_to_index);
  uint64_t total = 0;
  read_pass(*pass->reader, [&](std::string_view lines) {
    corpus::for_each_known(lines, words, [&](uint64_t) { ++total; });
  });
  return total;
}

bool FileSentences::next(std::span<const uint64_t>& sentence) {
  while (at_ == batch_.size()) {
    if (done_) {
      if (status_ != LineReader::Status::end) raise_read_error(*pass_.reader, status_);
      return false;
    }
    LineReader::Status status;
    {
      AllowThreads unlocked;
      status = pass_.reader->next();
      if (status == LineReader::Status::lines) {
        batch_.convert(pass_.reader->lines(), pass_.max_words, words_);
      } else {
        batch_.convert({}, 0, words_);
      }
    }
    at_ = 0;
    if (status != LineReader::Status::lines) {
      done_ = true;
      status_ = status;
    }
  }
  sentence = batch_[at_++];
  return true;
}

EpochReader::EpochReader(PyObject* corpus, FileCorpus* file, const KeyIndexMap& key_to_index,
                         const CorpusLookup& lookup, std::shared_ptr<ChunkChannel> channel) {
  if (file != nullptr) {
    if (std::optional<FileCorpus::Pass> pass = file->open()) {
      // Chunks of W2V_CHUNK sentences, as the interpreter-driven reader pulls W2V_CHUNK items.
      native_ = std::make_unique<corpus::FileChunkReader>(std::move(pass->reader), pass->max_words,
                                                          file->words(key_to_index),
                                                          parse_chunk_size(std::getenv("W2V_CHUNK")),
                                                          std::move(channel));
      return;
    }
  }
  python_ = std::make_unique<CorpusReader>(corpus, lookup, std::move(channel));
}

EpochReader::~EpochReader() { join(); }

void EpochReader::join() {
  if (python_) {
    python_->join();
  } else if (native_) {
    AllowThreads unlocked;
    native_->join();
  }
}

bool EpochReader::restore_error() {
  if (python_) return python_->restore_error();
  if (!native_->failure().empty()) throw InternalError(native_->failure());
  const LineReader::Status status = native_->status();
  if (status == LineReader::Status::end || status == LineReader::Status::lines) return false;
  try {
    raise_read_error(native_->reader(), status);
  } catch (const PyErrorSet&) {
    return true;
  }
}

PyObject* read_lines_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    parse_args("_read_lines", args, kwargs, {"path", "max_sentence_length"}, 1, a);
    const std::optional<uint64_t> max_words = max_words_of(a[1] == nullptr ? Py_None : a[1]);
    if (!max_words) raise(PyExc_ValueError, "max_sentence_length must be None or at least 1");
    std::optional<FileCorpus::Pass> pass = open_path(a[0], *max_words);
    if (!pass) raise(PyExc_ValueError, "not a regular file");
    Ref sentences = Ref::checked(PyList_New(0));
    struct Out {
      Ref sentence;
      PyObject* sentences;
      void word(std::string_view w) {
        if (!sentence) sentence = Ref::checked(PyList_New(0));
        Ref text = new_str(w);
        check_status(PyList_Append(sentence.get(), text.get()));
      }
      bool piece() {
        check_status(PyList_Append(sentences, sentence.get()));
        sentence = Ref();
        return true;
      }
    } out{Ref(), sentences.get()};
    corpus::Pieces<Out> pieces(out, pass->max_words);
    Ref error = Ref::borrow(Py_None);
    for (;;) {
      const LineReader::Status status = pass->reader->next();
      if (status == LineReader::Status::end) break;
      if (status != LineReader::Status::lines) {
        try {
          raise_read_error(*pass->reader, status);
        } catch (const PyErrorSet&) {
          PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
          PyErr_Fetch(&type, &value, &tb);
          PyErr_NormalizeException(&type, &value, &tb);
          Ref t(type), traceback(tb);
          error = Ref(value);
        }
        break;
      }
      corpus::split_lines(pass->reader->lines(), pieces);
    }
    return Py_BuildValue("(OO)", sentences.get(), error.get());
  });
}

}  // namespace tarnivel::py

namespace tarnivel::py {

PyObject* convert_file_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    parse_args("_convert_file", args, kwargs, {"path", "words", "max_sentence_length"}, 2, a);
    const std::optional<uint64_t> max_words = max_words_of(a[2] == nullptr ? Py_None : a[2]);
    if (!max_words) raise(PyExc_ValueError, "max_sentence_length must be None or at least 1");
    KeyIndexMap key_to_index;
    Ref it = Ref::checked(PyObject_GetIter(a[1]));
    while (Ref word{PyIter_Next(it.get())}) {
      const std::string_view text = utf8_view(word.get());
      key_to_index.emplace(std::string(text), key_to_index.size());
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    const corpus::ByteLookup words(key_to_index);
    std::optional<FileCorpus::Pass> pass = open_path(a[0], *max_words);
    if (!pass) raise(PyExc_ValueError, "not a regular file");
    // Wall-clock and this thread's processor time: on a busy machine the latter is the fairer
    // measure of what one thread does.
    auto now = [] {
      timespec cpu;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
      return std::pair{std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                       static_cast<double>(cpu.tv_sec) + 1e-9 * static_cast<double>(cpu.tv_nsec)};
    };
    uint64_t sentences = 0, tokens = 0;
    double converting = 0.0, cpu_converting = 0.0;
    LineReader::Status status;
    const auto start = now();
    {
      AllowThreads unlocked;
      corpus::SentenceBatch batch;
      while ((status = pass->reader->next()) == LineReader::Status::lines) {
        const auto t0 = now();
        batch.convert(pass->reader->lines(), pass->max_words, words);
        const auto t1 = now();
        converting += t1.first - t0.first;
        cpu_converting += t1.second - t0.second;
        sentences += batch.size();
        for (std::size_t i = 0; i < batch.size(); ++i) tokens += batch[i].size();
      }
    }
    const auto end = now();
    if (status != LineReader::Status::end) raise_read_error(*pass->reader, status);
    return Py_BuildValue("{s:K,s:K,s:d,s:d,s:d,s:d}", "sentences", static_cast<unsigned long long>(sentences),
                         "tokens", static_cast<unsigned long long>(tokens), "seconds", end.first - start.first,
                         "converting", converting, "cpu_seconds", end.second - start.second, "cpu_converting",
                         cpu_converting);
  });
}

}  // namespace tarnivel::py
