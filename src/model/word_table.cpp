#include "model/word_table.hpp"

#include <utility>

namespace tarnivel {

uint64_t WordTable::insert(uint64_t hash, std::string_view word, uint64_t value) {
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

void WordTable::grow() {
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


}  // namespace tarnivel
