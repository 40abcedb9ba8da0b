#include "corpus/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/error.hpp"
#include "model/vocab.hpp"

namespace tarnivel::corpus {
namespace {

std::string read_error_text(const LineReader& reader, LineReader::Status status) {
  if (status == LineReader::Status::os_error) return std::system_category().message(reader.os_error());
  return reader.decode_error().message();
}

// The sentences of a sequential epoch, a block at a time.
class FileSentences final : public SentenceStream {
 public:
  FileSentences(FilePass pass, std::shared_ptr<const ByteLookup> words, TrainObserver& observer)
      : pass_(std::move(pass)), words_(std::move(words)), observer_(observer) {}

  bool next(std::span<const uint64_t>& sentence) override {
    while (at_ == batch_.size()) {
      if (done_) {
        if (status_ != LineReader::Status::end) throw ReadError(*pass_.reader, status_);
        return false;
      }
      LineReader::Status status = LineReader::Status::end;
      observer_.unlocked([&] {
        status = pass_.reader->next();
        batch_.convert(status == LineReader::Status::lines ? pass_.reader->lines() : std::string_view(),
                       pass_.max_words, *words_);
      });
      at_ = 0;
      if (status != LineReader::Status::lines) {
        done_ = true;
        status_ = status;
      }
    }
    sentence = batch_[at_++];
    return true;
  }

 private:
  FilePass pass_;
  std::shared_ptr<const ByteLookup> words_;
  TrainObserver& observer_;
  SentenceBatch batch_;
  std::size_t at_ = 0;
  bool done_ = false;
  LineReader::Status status_ = LineReader::Status::lines;
};

}  // namespace

ReadError::ReadError(const LineReader& reader, LineReader::Status s)
    : std::runtime_error(read_error_text(reader, s)), status(s) {
  TARNIVEL_CHECK(s == LineReader::Status::os_error || s == LineReader::Status::decode_error, "no read error");
  if (s == LineReader::Status::os_error) {
    os_error = reader.os_error();
  } else {
    decode = reader.decode_error();
  }
}

std::optional<FilePass> open_file_pass(std::string_view path, uint64_t max_words) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string name(path);
  struct stat info;
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::system_category(), name);
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    throw std::system_error(EISDIR, std::system_category(), name);
  }
  FilePass pass;
  pass.reader = std::make_unique<LineReader>(fd);
  pass.max_words = max_words;
  return pass;
}

std::optional<FilePass> FileSource::open_pass() {
  std::optional<FilePass> pass = open_();
  TARNIVEL_CHECK(pass || fallback_ != nullptr, "a file pass that cannot be read natively has no fallback");
  return pass;
}

const std::shared_ptr<const ByteLookup>& FileSource::words(const Vocab& vocab) {
  if (!words_) words_ = std::make_shared<const ByteLookup>(vocab.key_to_index);
  return words_;
}

void FileSource::read_pass(LineReader& reader, const std::function<void(std::string_view)>& on_lines) {
  for (;;) {
    LineReader::Status status = LineReader::Status::end;
    observer_.unlocked([&] {
      status = reader.next();
      if (status == LineReader::Status::lines) on_lines(reader.lines());
    });
    if (status == LineReader::Status::end) return;
    if (status != LineReader::Status::lines) throw ReadError(reader, status);
    observer_.check_interrupt();
  }
}

void FileSource::vocabulary_pass(Model& model) {
  std::optional<FilePass> pass = open_pass();
  if (!pass) return fallback_->vocabulary_pass(model);
  if (model.vocab.size() == 0) {
    WordCounts counts;
    read_pass(*pass->reader, [&](std::string_view lines) { count_words(lines, counts); });
    WordCounter counter;
    counts.for_each([&](std::string_view word, uint64_t count) { counter.add(word, count); });
    build_vocab(model, counter);
    return;
  }
  const ByteLookup& table = *words(model.vocab);
  read_pass(*pass->reader, [&](std::string_view lines) {
    for_each_known(lines, table, [&](uint64_t index) { add_count(model.vocab, index); });
  });
}

uint64_t FileSource::token_pass(const Vocab& vocab) {
  std::optional<FilePass> pass = open_pass();
  if (!pass) return fallback_->token_pass(vocab);
  const ByteLookup& table = *words(vocab);
  uint64_t total = 0;
  read_pass(*pass->reader, [&](std::string_view lines) { for_each_known(lines, table, [&](uint64_t) { ++total; }); });
  return total;
}

std::unique_ptr<SentenceStream> FileSource::sentences(const Vocab& vocab) {
  std::optional<FilePass> pass = open_pass();
  if (!pass) return fallback_->sentences(vocab);
  return std::make_unique<FileSentences>(std::move(*pass), words(vocab), observer_);
}

EpochRead FileSource::epoch_reader(const Vocab& vocab, uint64_t chunk_size) {
  std::optional<FilePass> pass = open_pass();
  if (!pass) return fallback_->epoch_reader(vocab, chunk_size);
  auto owned = std::make_shared<FilePass>(std::move(*pass));
  return [owned, table = words(vocab), chunk_size](ChunkChannel& channel, const std::atomic<bool>& cancel) {
    const LineReader::Status status =
        read_chunks(*owned->reader, owned->max_words, *table, chunk_size, channel, cancel);
    if (status != LineReader::Status::end && status != LineReader::Status::lines) {
      throw ReadError(*owned->reader, status);
    }
  };
}

}  // namespace tarnivel::corpus
