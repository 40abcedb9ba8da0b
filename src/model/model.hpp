#pragma once
// The state of a Word2Vec model: parameters, vocabulary, weight matrices and output structures.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sampling/alias.hpp"
#include "training/huffman.hpp"

namespace tarnivel {

// Hash for string keys that also accepts string_view lookups without building a std::string.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using KeyIndexMap = std::unordered_map<std::string, uint64_t, StringHash, std::equal_to<>>;

// A read-only word -> index table for corpus conversion, keyed by a 64-bit hash the caller supplies
// (the binding uses the str objects' own cached hash, so a lookup costs no hashing of the bytes).
// A hit still compares the UTF-8 bytes, so two words are the same only when their bytes are equal,
// whatever the hashes. Open addressing with linear probing over a power-of-two slot array at most
// half full; the keys' bytes sit in one buffer in index order, so the frequent words (low indices)
// share a few cache lines.
class WordLookup {
 public:
  static constexpr uint64_t kMissing = ~uint64_t{0};

  // Room for `words` entries; forgets earlier ones.
  void reset(std::size_t words) {
    std::size_t slots = 16;
    while (slots < 2 * words) slots *= 2;
    slots_.assign(slots, Slot{});
    entries_.clear();
    entries_.reserve(words);
    bytes_.clear();
    mask_ = slots - 1;
  }

  // Adds a word that is not in the table yet (the caller inserts distinct words only).
  void insert(uint64_t hash, std::string_view word, uint64_t index) {
    if (slots_.empty() || 2 * (entries_.size() + 1) > slots_.size()) grow();
    entries_.push_back(Entry{bytes_.size(), word.size(), index});
    bytes_.append(word);
    place(hash, entries_.size());
  }

  // The index of `word` (whose hash is `hash`), or kMissing.
  uint64_t find(uint64_t hash, std::string_view word) const {
    if (slots_.empty()) return kMissing;
    for (std::size_t at = slot_of(hash);; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.entry == 0) return kMissing;
      if (slot.hash != hash) continue;
      const Entry& e = entries_[slot.entry - 1];
      if (e.size == word.size() && std::string_view(bytes_.data() + e.offset, e.size) == word) return e.index;
    }
  }

  std::size_t size() const { return entries_.size(); }

 private:
  struct Slot {
    uint64_t hash = 0;
    std::size_t entry = 0;  // 1 + position in entries_; 0 marks an empty slot
  };
  struct Entry {
    std::size_t offset;
    std::size_t size;
    uint64_t index;
  };

  // The caller's hash may be weak in its low bits; a multiplicative mix spreads it over the slots.
  std::size_t slot_of(uint64_t hash) const {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> 17) & mask_;
  }
  void place(uint64_t hash, std::size_t entry) {
    std::size_t at = slot_of(hash);
    while (slots_[at].entry != 0) at = (at + 1) & mask_;
    slots_[at] = Slot{hash, entry};
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.entry != 0) place(s.hash, s.entry);
    }
  }

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::string bytes_;
  std::size_t mask_ = 0;
};

struct ModelParams {
  uint64_t vector_size = 100;
  uint64_t window = 5;
  uint64_t min_count = 5;
  std::optional<uint64_t> max_final_vocab;
  uint64_t workers = 1;
  uint64_t negative = 5;
  bool sg = false;
  bool hs = false;
  bool cbow_mean = true;
  std::vector<uint64_t> levels{25, 50, 100};
  float alpha = 0.025f;
  float min_alpha = 0.0001f;
  uint64_t epochs = 5;
  bool verbose = true;
  double progress_interval = 1.0;
  double sample = 0.0;  // subsampling of frequent words; 0 keeps every token (training/subsample.hpp)
};

struct Vocab {
  std::vector<std::string> index_to_key;
  KeyIndexMap key_to_index;
  std::vector<uint64_t> counts;
  std::size_t size() const { return index_to_key.size(); }
};

struct Model {
  ModelParams params;
  Vocab vocab;
  std::vector<float> input_vectors;
  std::vector<float> output_vectors;
  HuffmanTree tree;
  AliasTable alias;
  // True once `vocab.counts` are the corpus counts of a vocabulary build (or of a checkpoint that had
  // them); a model loaded from a vocabulary and matrix pair has none, which subsampling refuses.
  bool counts_known = false;
};

// Default levels of a vector size: size/4, size/2, size without zeros, ascending, unique; [1] if none.
std::vector<uint64_t> default_levels(uint64_t vector_size);
// Absent levels: default_levels. Given levels: keeps 1 <= v <= vector_size in the given order
// (duplicates too); [vector_size] if none remain.
std::vector<uint64_t> normalise_levels(const std::optional<std::vector<uint64_t>>& levels,
                                       uint64_t vector_size);

}  // namespace tarnivel
