#pragma once
// Word tables of a file corpus, keyed by the words' UTF-8 bytes: counting for the vocabulary pass and
// looking words up for the conversion into indices.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/text.hpp"
#include "model/model.hpp"

namespace tarnivel::corpus {

// Counts of distinct words. Open addressing over a power-of-two slot array at most half full; the
// words' bytes sit in one buffer in order of first appearance.
class WordCounts {
 public:
  void add(std::string_view word) {
    const uint64_t hash = word_hash(word);
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    for (std::size_t at = slot_of(hash);; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.entry == 0) {
        entries_.push_back(Entry{bytes_.size(), word.size(), 1});
        bytes_.append(word);
        slot = Slot{hash, entries_.size()};
        return;
      }
      if (slot.hash != hash) continue;
      Entry& e = entries_[slot.entry - 1];
      if (e.size == word.size() && std::string_view(bytes_.data() + e.offset, e.size) == word) {
        ++e.count;
        return;
      }
    }
  }

  std::size_t size() const { return entries_.size(); }

  // Calls f(word, count) for every word, in order of first appearance.
  template <class F>
  void for_each(F&& f) const {
    for (const Entry& e : entries_) f(std::string_view(bytes_.data() + e.offset, e.size), e.count);
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    std::size_t entry = 0;  // 1 + position in entries_; 0 marks an empty slot
  };
  struct Entry {
    std::size_t offset;
    std::size_t size;
    uint64_t count;
  };

  std::size_t slot_of(uint64_t hash) const { return static_cast<std::size_t>(hash) & mask_; }
  void grow();

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::string bytes_;
  std::size_t mask_ = 0;
};

// The vocabulary as a table keyed by word_hash, for looking corpus words up by their bytes.
struct ByteLookup {
  explicit ByteLookup(const KeyIndexMap& key_to_index);
  uint64_t find(std::string_view word) const { return table.find(word_hash(word), word); }
  WordLookup table;
  uint64_t max_index = 0;  // the largest index (0 when empty)
};

}  // namespace tarnivel::corpus
