#include "corpus/file_corpus.hpp"

#include <algorithm>

#include <time.h>

#include <chrono>
#include <utility>

#include "common/error.hpp"
#include "corpus/file_source.hpp"

namespace tarnivel::corpus {

void count_words(std::string_view text, WordCounts& counts) {
  for_each_word(text, counts, [&](std::string_view w, uint64_t hash) { counts.add(w, hash); });
}

void SentenceBatch::convert(std::string_view text, uint64_t max_words, const ByteLookup& words) {
  indices_.clear();
  offsets_.assign(1, 0);
  auto append = [&](std::string_view w, uint64_t hash) {
    const uint64_t index = words.find(w, hash);
    if (index != WordLookup::kMissing) indices_.push_back(index);
  };
  WordQueue<ByteLookup, decltype(append)> queue(words, append);
  struct Out {
    SentenceBatch& batch;
    decltype(queue)& pending;
    void word(std::string_view w) { pending.push(w); }
    bool piece() {
      pending.flush();
      if (batch.indices_.size() != batch.offsets_.back()) batch.offsets_.push_back(batch.indices_.size());
      return true;
    }
  } out{*this, queue};
  Pieces<Out> pieces(out, max_words);
  split_lines(text, pieces);
}

ConversionTimes time_conversion(LineReader& reader, uint64_t max_words, const ByteLookup& words) {
  // Wall-clock and this thread's processor time: on a busy machine the latter is the fairer measure
  // of what one thread does.
  const auto now = [] {
    timespec cpu;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return std::pair{std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                     static_cast<double>(cpu.tv_sec) + 1e-9 * static_cast<double>(cpu.tv_nsec)};
  };
  ConversionTimes t;
  LineReader::Status status;
  const auto start = now();
  SentenceBatch batch;
  while ((status = reader.next()) == LineReader::Status::lines) {
    const auto t0 = now();
    batch.convert(reader.lines(), max_words, words);
    const auto t1 = now();
    t.converting += t1.first - t0.first;
    t.cpu_converting += t1.second - t0.second;
    t.sentences += batch.size();
    for (std::size_t i = 0; i < batch.size(); ++i) t.tokens += batch[i].size();
  }
  const auto end = now();
  if (status != LineReader::Status::end) throw ReadError(reader, status);
  t.seconds = end.first - start.first;
  t.cpu_seconds = end.second - start.second;
  return t;
}

LineReader::Status read_chunks(LineReader& reader, uint64_t max_words, const ByteLookup& words, uint64_t chunk_items,
                               ChunkChannel& channel, const std::atomic<bool>& cancel) {
  chunk_items = std::max<uint64_t>(chunk_items, 1);
  TARNIVEL_CHECK(words.max_index <= SentenceChunk::kMaxIndex, "word indices exceed a sentence chunk");
  // Chunks carry 16-bit indices when every index of the vocabulary fits them.
  const bool narrow = words.max_index <= SentenceChunk::kMaxNarrowIndex;
  SentenceChunk* current = nullptr;
  auto append = [&](std::string_view w, uint64_t hash) {
    const uint64_t index = words.find(w, hash);
    if (index == WordLookup::kMissing) return;
    if (narrow) {
      current->narrow_words.push_back(static_cast<SentenceChunk::NarrowIndex>(index));
    } else {
      current->words.push_back(static_cast<SentenceChunk::Index>(index));
    }
  };
  using Queue = WordQueue<ByteLookup, decltype(append)>;
  Queue queue(words, append);
  struct Out {
    ChunkChannel& channel;
    const std::atomic<bool>& cancel;
    uint64_t chunk_items;
    bool narrow;
    Queue& pending;
    SentenceChunk chunk;
    uint64_t items = 0;
    std::size_t last_words = 0;  // the previous chunk's word count, to size the next buffer at once

    void word(std::string_view w) { pending.push(w); }
    bool piece() {
      pending.flush();
      if (chunk.word_count() != chunk.offsets.back()) chunk.end_sentence();
      if (++items < chunk_items) return true;
      return send();
    }
    // Sends the chunk (if it holds a sentence) and starts the next; false when reading must stop.
    bool send() {
      items = 0;
      if (!chunk.empty()) {
        last_words = chunk.word_count();
        if (!channel.send(std::move(chunk))) return false;
      }
      chunk = SentenceChunk(narrow);
      if (narrow) {
        chunk.narrow_words.reserve(last_words + last_words / 8);
      } else {
        chunk.words.reserve(last_words + last_words / 8);
      }
      return !cancel.load(std::memory_order_relaxed);
    }
  };
  Out out{channel, cancel, chunk_items, narrow, queue, SentenceChunk(narrow)};
  current = &out.chunk;
  Pieces<Out> pieces(out, max_words);
  for (;;) {
    if (cancel.load(std::memory_order_relaxed)) return LineReader::Status::end;
    const LineReader::Status status = reader.next();
    if (status != LineReader::Status::lines) {
      out.send();
      return status;
    }
    if (!split_lines(reader.lines(), pieces)) return LineReader::Status::end;
  }
}

}  // namespace tarnivel::corpus
