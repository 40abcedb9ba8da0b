#pragma once
// A line corpus file as a training source: every pass reads the file natively, with the host's lock
// released around each block, yielding the sentences LineSentence(path, max_sentence_length) yields.
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "corpus/file_corpus.hpp"
#include "corpus/line_reader.hpp"
#include "training/driver.hpp"

namespace tarnivel::corpus {

// One pass over the file: its reader and the sentence length limit (0: none).
struct FilePass {
  std::unique_ptr<LineReader> reader;
  uint64_t max_words = 0;
};

// The error that ended a pass: a decode error (with Python's details) or an operating-system error.
struct ReadError : std::runtime_error {
  ReadError(const LineReader& reader, LineReader::Status status);
  LineReader::Status status;
  int os_error = 0;
  DecodeError decode;
};

// Opens `path` for a pass: nullopt when it holds a NUL byte or is no regular file (missing, a
// directory, a pipe), which a host may read its own way; std::system_error when opening fails.
std::optional<FilePass> open_file_pass(std::string_view path, uint64_t max_words);

// The file corpus. `open` opens each pass; when it returns nullopt the pass goes to `fallback`
// (which must then exist). The observer releases the host's lock around reads and checks for
// interruptions between blocks.
class FileSource final : public CorpusSource {
 public:
  using Opener = std::function<std::optional<FilePass>()>;
  FileSource(Opener open, CorpusSource* fallback, TrainObserver& observer)
      : open_(std::move(open)), fallback_(fallback), observer_(observer) {}

  void vocabulary_pass(Model& model) override;
  uint64_t token_pass(const Vocab& vocab) override;
  std::unique_ptr<SentenceStream> sentences(const Vocab& vocab) override;
  EpochRead epoch_reader(const Vocab& vocab, uint64_t chunk_size) override;

 private:
  std::optional<FilePass> open_pass();
  const std::shared_ptr<const ByteLookup>& words(const Vocab& vocab);
  // Reads every block of a pass through `on_lines`; throws the error that ends the file.
  void read_pass(LineReader& reader, const std::function<void(std::string_view)>& on_lines);

  Opener open_;
  CorpusSource* fallback_;
  TrainObserver& observer_;
  std::shared_ptr<const ByteLookup> words_;
};

}  // namespace tarnivel::corpus
