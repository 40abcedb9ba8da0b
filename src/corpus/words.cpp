#include "corpus/words.hpp"

#include <algorithm>
#include <utility>

namespace tarnivel::corpus {
namespace detail {

uint64_t ByteTable::insert(uint64_t hash, std::string_view word, uint64_t value) {
  if (2 * (words_ + 1) > slots_.size()) grow();
  const uint64_t record = bytes_.size();
  const uint64_t n = word.size();
  bytes_.resize(bytes_.size() + 16 + (n + 7) / 8 * 8, '\0');
  std::memcpy(bytes_.data() + record, &value, 8);
  std::memcpy(bytes_.data() + record + 8, &n, 8);
  if (n != 0) std::memcpy(bytes_.data() + record + 16, word.data(), n);
  std::size_t at = hash & mask_;
  while (slots_[at].record != kNone) at = (at + 1) & mask_;
  slots_[at] = Slot{hash, record};
  ++words_;
  return record;
}

void ByteTable::grow() {
  const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
  mask_ = size - 1;
  for (const Slot& s : old) {
    if (s.record == kNone) continue;
    std::size_t at = s.hash & mask_;
    while (slots_[at].record != kNone) at = (at + 1) & mask_;
    slots_[at] = s;
  }
}

}  // namespace detail

ByteLookup::ByteLookup(const KeyIndexMap& key_to_index) {
  // Inserted in index order, so that the frequent words' records sit together.
  std::vector<std::pair<uint64_t, const std::string*>> words;
  words.reserve(key_to_index.size());
  for (const auto& [key, index] : key_to_index) words.emplace_back(index, &key);
  std::sort(words.begin(), words.end());
  for (const auto& [index, key] : words) {
    table_.insert(word_hash(*key), *key, index);
    max_index = std::max(max_index, index);
  }
}

}  // namespace tarnivel::corpus
