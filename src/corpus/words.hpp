#pragma once
// Word tables of a file corpus, keyed by the words' UTF-8 bytes: counting for the vocabulary pass and
// looking words up for the conversion into indices.
//
// Both are open-addressing tables over a power-of-two array of slots, at most half full, each slot a
// word's 64-bit hash and the position of its record in one byte buffer. A record holds a 64-bit
// value (the count, or the index), the word's length and its bytes, so that a hit touches the slot
// and one record. Records sit in insertion order: the lookup inserts by index, so the frequent
// words' records share a few cache lines.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "corpus/text.hpp"
#include "model/model.hpp"

namespace tarnivel::corpus {

namespace detail {

// Whether the n bytes at a and b are equal; reads nothing outside them.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  auto u = [](const char* p) { return load64(reinterpret_cast<const unsigned char*>(p)); };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (u(a + i) != u(b + i)) return false;
    }
    return u(a + n - 8) == u(b + n - 8);
  }
  if (n >= 4) {
    uint32_t x0, y0, x1, y1;
    std::memcpy(&x0, a, 4);
    std::memcpy(&y0, b, 4);
    std::memcpy(&x1, a + n - 4, 4);
    std::memcpy(&y1, b + n - 4, 4);
    return x0 == y0 && x1 == y1;
  }
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// The table both word tables are made of: word -> 64-bit value.
class ByteTable {
 public:
  static constexpr uint64_t kNone = ~uint64_t{0};

  // The record of `word` (whose hash is `hash`), or kNone.
  uint64_t find(uint64_t hash, std::string_view word) const {
    if (slots_.empty()) return kNone;
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.record == kNone) return kNone;
      if (slot.hash == hash && matches(slot.record, word)) return slot.record;
    }
  }
  // Starts loading the first slot of `hash` into the cache.
  void prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }
  // Starts loading the record in the first slot of `hash` (whose slot should be cached by now).
  void prefetch_record(uint64_t hash) const {
    if (slots_.empty()) return;
    const uint64_t record = slots_[hash & mask_].record;
    if (record != kNone) __builtin_prefetch(bytes_.data() + record);
  }
  // Adds a word that is not in the table; returns its record.
  uint64_t insert(uint64_t hash, std::string_view word, uint64_t value);

  uint64_t value(uint64_t record) const {
    uint64_t v;
    std::memcpy(&v, bytes_.data() + record, 8);
    return v;
  }
  void set_value(uint64_t record, uint64_t v) { std::memcpy(bytes_.data() + record, &v, 8); }
  std::size_t size() const { return words_; }

  // Calls f(word, value) for every word in insertion order.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t at = 0; at < bytes_.size();) {
      const uint64_t n = length(at);
      f(std::string_view(bytes_.data() + at + 16, n), value(at));
      at += 16 + (n + 7) / 8 * 8;
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    uint64_t record = kNone;  // position of the record in bytes_
  };
  uint64_t length(uint64_t record) const {
    uint64_t n;
    std::memcpy(&n, bytes_.data() + record + 8, 8);
    return n;
  }
  bool matches(uint64_t record, std::string_view word) const {
    return length(record) == word.size() && same_bytes(bytes_.data() + record + 16, word.data(), word.size());
  }
  void grow();

  std::vector<Slot> slots_;
  std::vector<char> bytes_;  // records: value (8 bytes), length (8), bytes padded to 8
  std::size_t words_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace detail

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
    if (record != detail::ByteTable::kNone) {
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
  detail::ByteTable table_;
};

// The vocabulary as a table keyed by word_hash, for looking corpus words up by their bytes.
class ByteLookup {
 public:
  explicit ByteLookup(const KeyIndexMap& key_to_index);
  // The index of `word`, or WordLookup::kMissing.
  uint64_t find(std::string_view word) const { return find(word, word_hash(word)); }
  uint64_t find(std::string_view word, uint64_t hash) const {
    const uint64_t record = table_.find(hash, word);
    return record == detail::ByteTable::kNone ? WordLookup::kMissing : table_.value(record);
  }
  void prefetch(uint64_t hash) const { table_.prefetch(hash); }
  void prefetch_record(uint64_t hash) const { table_.prefetch_record(hash); }
  uint64_t max_index = 0;  // the largest index (0 when empty)

 private:
  detail::ByteTable table_;
};

}  // namespace tarnivel::corpus
