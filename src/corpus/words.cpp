#include "corpus/words.hpp"

#include <algorithm>
#include <utility>

namespace tarnivel::corpus {

void WordCounts::grow() {
  const std::size_t size = slots_.empty() ? 1024 : slots_.size() * 2;
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  mask_ = size - 1;
  for (const Slot& s : old) {
    if (s.entry == 0) continue;
    std::size_t at = slot_of(s.hash);
    while (slots_[at].entry != 0) at = (at + 1) & mask_;
    slots_[at] = s;
  }
}

ByteLookup::ByteLookup(const KeyIndexMap& key_to_index) {
  // Inserted in index order, so that the frequent words' entries and bytes sit together.
  std::vector<std::pair<uint64_t, const std::string*>> words;
  words.reserve(key_to_index.size());
  for (const auto& [key, index] : key_to_index) words.emplace_back(index, &key);
  std::sort(words.begin(), words.end());
  table.reset(words.size());
  for (const auto& [index, key] : words) {
    table.insert(word_hash(*key), *key, index);
    max_index = std::max(max_index, index);
  }
}

}  // namespace tarnivel::corpus
