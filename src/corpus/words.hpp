#pragma once
// Word tables of a file corpus, keyed by word_hash of the words' UTF-8 bytes: counting for the
// vocabulary pass and looking words up for the conversion into indices (both a WordTable).
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "corpus/text.hpp"
#include "model/model.hpp"
#include "model/word_table.hpp"

namespace tarnivel::corpus {

// Words waiting for their turn in a table, with their hashes. The lookups of a corpus miss the cache
// for all but the most frequent words; queueing a few words and prefetching their slots as they come
// lets those misses overlap instead of following one another. `Table` has prefetch(hash) and
// prefetch_record(hash); `f` is called as f(word, hash) for the queued words in order by flush().
template <class Table, class F>
class WordQueue {
 public:
  static constexpr std::size_t kCapacity = 16;
  WordQueue(const Table& table, F f) : table_(table), f_(std::move(f)) {}
  void push(std::string_view word) {
    const uint64_t hash = word_hash(word);
    table_.prefetch(hash);
    words_[n_] = word;
    hashes_[n_] = hash;
    if (++n_ == kCapacity) flush();
  }
  void flush() {
    // The slots have had time to arrive; now the records they point to.
    for (std::size_t i = 0; i < n_; ++i) table_.prefetch_record(hashes_[i]);
    for (std::size_t i = 0; i < n_; ++i) f_(words_[i], hashes_[i]);
    n_ = 0;
  }

 private:
  const Table& table_;
  F f_;
  std::size_t n_ = 0;
  std::string_view words_[kCapacity];
  uint64_t hashes_[kCapacity];
};

// Counts of distinct words.
class WordCounts {
 public:
  void add(std::string_view word) { add(word, word_hash(word)); }
  void prefetch(uint64_t hash) const { table_.prefetch(hash); }
  void prefetch_record(uint64_t hash) const { table_.prefetch_record(hash); }
  void add(std::string_view word, uint64_t hash) {
    const uint64_t record = table_.find(hash, word);
    if (record != WordTable::kNone) {
      table_.set_value(record, table_.value(record) + 1);
    } else {
      table_.insert(hash, word, 1);
    }
  }
  std::size_t size() const { return table_.size(); }
  // Calls f(word, count) for every word, in order of first appearance.
  template <class F>
  void for_each(F&& f) const {
    table_.for_each(f);
  }

 private:
  WordTable table_;
};

// The vocabulary as a table keyed by word_hash, for looking corpus words up by their bytes.
class ByteLookup {
 public:
  explicit ByteLookup(const KeyIndexMap& key_to_index);
  // The index of `word`, or WordLookup::kMissing.
  uint64_t find(std::string_view word) const { return find(word, word_hash(word)); }
  uint64_t find(std::string_view word, uint64_t hash) const {
    const uint64_t record = table_.find(hash, word);
    return record == WordTable::kNone ? WordLookup::kMissing : table_.value(record);
  }
  void prefetch(uint64_t hash) const { table_.prefetch(hash); }
  void prefetch_record(uint64_t hash) const { table_.prefetch_record(hash); }
  uint64_t max_index = 0;  // the largest index (0 when empty)

 private:
  WordTable table_;
};

}  // namespace tarnivel::corpus
