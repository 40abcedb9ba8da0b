#pragma once
// A line corpus file turned into what training needs: word counts, token counts and sentences of word
// indices, read by LineReader and split as LineSentence splits it. Nothing here touches Python.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "corpus/line_reader.hpp"
#include "corpus/words.hpp"
#include "training/channel.hpp"

namespace tarnivel::corpus {

// Adds every word of `text` (whole lines) to `counts`.
void count_words(std::string_view text, WordCounts& counts);

// Calls on_word(word, hash) for every word of `text` (whole lines) in order, through a WordQueue on
// `table` so that the table's cache misses overlap.
template <class Table, class F>
void for_each_word(std::string_view text, const Table& table, F on_word) {
  WordQueue<Table, F> queue(table, std::move(on_word));
  struct Sink {
    WordQueue<Table, F>& pending;
    void word(std::string_view w) { pending.push(w); }
    bool line() { return true; }
  } sink{queue};
  split_lines(text, sink);
  queue.flush();
}

// Calls on_index(i) for every word of `text` found in `words`, in order.
template <class F>
void for_each_known(std::string_view text, const ByteLookup& words, F&& on_index) {
  for_each_word(text, words, [&](std::string_view w, uint64_t hash) {
    const uint64_t index = words.find(w, hash);
    if (index != WordLookup::kMissing) on_index(index);
  });
}

// The sentences of whole lines as word indices, as LineSentence(path, max_sentence_length) yields
// them and the conversion into indices keeps them: pieces of at most `max_words` words (0: no
// limit), unknown words dropped, pieces left without a word dropped.
class SentenceBatch {
 public:
  // Replaces the batch with the sentences of `text`.
  void convert(std::string_view text, uint64_t max_words, const ByteLookup& words);
  std::size_t size() const { return offsets_.size() - 1; }
  std::span<const uint64_t> operator[](std::size_t i) const {
    return {indices_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
  }

 private:
  std::vector<uint64_t> indices_;
  std::vector<std::size_t> offsets_{0};
};

// Sentences and tokens of a whole file converted as training converts it, with the time it took and
// the time of the splitting and looking up alone, as wall-clock and as the thread's processor time.
struct ConversionTimes {
  uint64_t sentences = 0, tokens = 0;
  double seconds = 0, converting = 0, cpu_seconds = 0, cpu_converting = 0;
};
// Reads the rest of the file; throws ReadError for the error that ends it.
ConversionTimes time_conversion(LineReader& reader, uint64_t max_words, const ByteLookup& words);

// Reads the file into `channel` in chunks of `chunk_items` sentences (counting the pieces left
// without a known word too) until its end, an error, a closed receiver or `cancel`. Returns how the
// reading ended (Status::end when cut short).
LineReader::Status read_chunks(LineReader& reader, uint64_t max_words, const ByteLookup& words, uint64_t chunk_items,
                               ChunkChannel& channel, const std::atomic<bool>& cancel);

}  // namespace tarnivel::corpus
