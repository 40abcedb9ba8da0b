#include "corpus/file_corpus.hpp"

#include <algorithm>
#include <system_error>

#include "common/error.hpp"

namespace tarnivel::corpus {

void count_words(std::string_view text, WordCounts& counts) {
  struct Sink {
    WordCounts& counts;
    void word(std::string_view w) { counts.add(w); }
    bool line() { return true; }
  } sink{counts};
  split_lines(text, sink);
}

void SentenceBatch::convert(std::string_view text, uint64_t max_words, const ByteLookup& words) {
  indices_.clear();
  offsets_.assign(1, 0);
  struct Out {
    SentenceBatch& batch;
    const ByteLookup& words;
    void word(std::string_view w) {
      const uint64_t index = words.find(w);
      if (index != WordLookup::kMissing) batch.indices_.push_back(index);
    }
    bool piece() {
      if (batch.indices_.size() != batch.offsets_.back()) batch.offsets_.push_back(batch.indices_.size());
      return true;
    }
  } out{*this, words};
  Pieces<Out> pieces(out, max_words);
  split_lines(text, pieces);
}

FileChunkReader::FileChunkReader(std::unique_ptr<LineReader> reader, uint64_t max_words,
                                 const ByteLookup& words, uint64_t chunk_items,
                                 std::shared_ptr<ChunkChannel> channel)
    : reader_(std::move(reader)),
      max_words_(max_words),
      words_(words),
      chunk_items_(std::max<uint64_t>(chunk_items, 1)),
      channel_(std::move(channel)) {
  TARNIVEL_CHECK(words_.max_index <= SentenceChunk::kMaxIndex, "word indices exceed a sentence chunk");
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    throw InternalError(std::string("failed to spawn thread: ") + e.what());
  }
}

FileChunkReader::~FileChunkReader() { join(); }

void FileChunkReader::join() {
  cancel_.store(true, std::memory_order_relaxed);
  channel_->close_receiver();
  if (thread_.joinable()) thread_.join();
}

void FileChunkReader::run() {
  // Chunks carry 16-bit indices when every index of the vocabulary fits them.
  const bool narrow = words_.max_index <= SentenceChunk::kMaxNarrowIndex;
  struct Out {
    FileChunkReader& self;
    bool narrow;
    SentenceChunk chunk;
    uint64_t items = 0;
    std::size_t last_words = 0;  // the previous chunk's word count, to size the next buffer at once

    void word(std::string_view w) {
      const uint64_t index = self.words_.find(w);
      if (index == WordLookup::kMissing) return;
      if (narrow) {
        chunk.narrow_words.push_back(static_cast<SentenceChunk::NarrowIndex>(index));
      } else {
        chunk.words.push_back(static_cast<SentenceChunk::Index>(index));
      }
    }
    bool piece() {
      if (chunk.word_count() != chunk.offsets.back()) chunk.end_sentence();
      if (++items < self.chunk_items_) return true;
      return send();
    }
    // Sends the chunk (if it holds a sentence) and starts the next; false when reading must stop.
    bool send() {
      items = 0;
      if (!chunk.empty()) {
        last_words = chunk.word_count();
        if (!self.channel_->send(std::move(chunk))) return false;
      }
      chunk = SentenceChunk(narrow);
      if (narrow) {
        chunk.narrow_words.reserve(last_words + last_words / 8);
      } else {
        chunk.words.reserve(last_words + last_words / 8);
      }
      return !self.cancel_.load(std::memory_order_relaxed);
    }
  };
  try {
    Out out{*this, narrow, SentenceChunk(narrow)};
    Pieces<Out> pieces(out, max_words_);
    for (;;) {
      if (cancel_.load(std::memory_order_relaxed)) break;
      const LineReader::Status status = reader_->next();
      if (status != LineReader::Status::lines) {
        status_ = status;
        out.send();
        break;
      }
      if (!split_lines(reader_->lines(), pieces)) break;
    }
  } catch (const std::exception& e) {
    failure_ = std::string("corpus reader failed: ") + e.what();
  }
  channel_->close_sender();
}

}  // namespace tarnivel::corpus
