#pragma once
// Training from a tarnivel.LineSentence without the interpreter: every pass over such a corpus reads
// the file natively (corpus/line_reader) with the interpreter lock released, and yields exactly the
// sentences, words and errors that iterating the LineSentence in Python would. Any other corpus, and
// a LineSentence subclass with its own __iter__, goes through the interpreter as before.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "corpus/file_corpus.hpp"
#include "corpus/line_reader.hpp"
#include "corpus/words.hpp"
#include "binding/py_common.hpp"
#include "binding/py_corpus.hpp"
#include "binding/py_reader.hpp"
#include "training/channel.hpp"
#include "model/model.hpp"

namespace tarnivel::py {

// The file behind a LineSentence corpus, for one training call.
class FileCorpus {
 public:
  // The file corpus of `corpus` when it is a tarnivel.LineSentence (or a subclass) whose iteration
  // is LineSentence's own; nullopt otherwise. Interpreter lock held.
  static std::optional<FileCorpus> of(PyObject* corpus);

  // One pass over the file: its reader and the LineSentence's max_sentence_length (0: none).
  struct Pass {
    std::unique_ptr<corpus::LineReader> reader;
    uint64_t max_words = 0;
  };
  // Opens a pass, reading `path` and `max_sentence_length` anew as every iteration of a
  // LineSentence does. nullopt when this pass must go through the interpreter after all: the
  // attributes hold values that only Python's own code handles (a path with a NUL byte, a limit of 0
  // or of another type), or the path is no regular file (a missing path, a directory or a pipe),
  // so that Python raises or reads it as it always did. An opening failure raises as Python's open()
  // would (PyErrorSet). Interpreter lock held.
  std::optional<Pass> open() const;

  // The vocabulary as a byte-keyed table, built on first use; the vocabulary must not change after.
  const corpus::ByteLookup& words(const KeyIndexMap& key_to_index);

 private:
  explicit FileCorpus(PyObject* corpus) : corpus_(Ref::borrow(corpus)) {}
  Ref corpus_;
  std::shared_ptr<corpus::ByteLookup> words_;
};

// Raises the error that ended a pass (status decode_error or os_error) as Python raises it when it
// reads the file: UnicodeDecodeError with Python's message and attributes, or OSError.
[[noreturn]] void raise_read_error(const corpus::LineReader& reader, corpus::LineReader::Status status);

// The vocabulary pass over a file corpus: builds the vocabulary of an empty model or adds counts to
// an existing one. False when the pass must go through the interpreter (FileCorpus::open).
bool file_vocabulary_pass(FileCorpus& file, Model& model);

// The token pass: the number of known words of one pass; nullopt when the pass must go through the
// interpreter.
std::optional<uint64_t> file_token_pass(FileCorpus& file, const Vocab& vocab);

// The sentences of a sequential epoch, read a block at a time with the interpreter lock released.
class FileSentences {
 public:
  FileSentences(FileCorpus::Pass pass, const corpus::ByteLookup& words)
      : pass_(std::move(pass)), words_(words) {}
  // The next sentence (valid until the next call), false at the end of the file; raises the error
  // that ends the file after the sentences before it. Interpreter lock held.
  bool next(std::span<const uint64_t>& sentence);

 private:
  FileCorpus::Pass pass_;
  const corpus::ByteLookup& words_;
  corpus::SentenceBatch batch_;
  std::size_t at_ = 0;
  bool done_ = false;
  corpus::LineReader::Status status_ = corpus::LineReader::Status::lines;
};

// The reader of a threaded epoch: the native file reader for a file corpus whose pass opens
// natively, else the interpreter-driven reader.
class EpochReader {
 public:
  // Interpreter lock held; `file` (may be null) and `lookup` must outlive join().
  EpochReader(PyObject* corpus, FileCorpus* file, const KeyIndexMap& key_to_index, const CorpusLookup& lookup,
              std::shared_ptr<ChunkChannel> channel);
  ~EpochReader();
  EpochReader(const EpochReader&) = delete;
  EpochReader& operator=(const EpochReader&) = delete;
  // Stops the reader and waits for it (interpreter lock released meanwhile).
  void join();
  // After join(): restores the corpus error that ended the reading as the current exception;
  // false if none.
  bool restore_error();

 private:
  std::unique_ptr<CorpusReader> python_;
  std::unique_ptr<corpus::FileChunkReader> native_;
};

// _core._read_lines(path, max_sentence_length=None): (sentences, error), the sentences the native
// reader finds in a file as lists of str and the exception that ends the file (None if none), for
// tests that compare it with iterating a LineSentence.
PyObject* read_lines_function(PyObject* self, PyObject* args, PyObject* kwargs);

// _core._convert_file(path, words, max_sentence_length=None): reads a file and converts it into
// sentences of indices of `words` (an iterable of str, index = position) as training does, without
// training; returns {"sentences", "tokens", "seconds", "converting", "cpu_seconds", "cpu_converting"}
// (the whole time and the time of splitting and looking up alone, as wall-clock and as the thread's
// processor time), for benchmarks.
PyObject* convert_file_function(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tarnivel::py
