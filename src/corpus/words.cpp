#include "corpus/words.hpp"

#include <algorithm>
#include <utility>

namespace tarnivel::corpus {

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
