#pragma once
// The one word table of the core: word bytes -> 64-bit value, keyed by a 64-bit hash the caller
// supplies. Open addressing with linear probing over a power-of-two array of slots, at most half
// full, each slot a hash and the position of the word's record in one byte buffer. A record holds
// the value (a count or an index), the word's length and its bytes, so that a hit touches the slot
// and one record; records sit in insertion order, so words inserted by index keep the frequent
// words' records on a few cache lines. Two words are the same when their bytes and hashes are equal.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarnivel {

namespace detail {

// Whether the n bytes at a and b are equal; reads nothing outside them.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  auto u = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
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

}  // namespace detail

// Word bytes -> 64-bit value.
class WordTable {
 public:
  static constexpr uint64_t kNone = ~uint64_t{0};

  WordTable() = default;
  // An empty table with slots for `words` words.
  explicit WordTable(std::size_t words) {
    std::size_t size = 64;
    while (size < 2 * words) size *= 2;
    slots_.resize(size);
    mask_ = size - 1;
  }

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
    return length(record) == word.size() && detail::same_bytes(bytes_.data() + record + 16, word.data(), word.size());
  }
  void grow();

  std::vector<Slot> slots_;
  std::vector<char> bytes_;  // records: value (8 bytes), length (8), bytes padded to 8
  std::size_t words_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace tarnivel
