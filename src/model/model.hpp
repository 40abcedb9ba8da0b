#pragma once
// The state of a Word2Vec model: parameters, vocabulary, weight matrices and output structures.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/word_table.hpp"
#include "sampling/alias.hpp"
#include "training/huffman.hpp"

namespace tarnivel {

// Hash for string keys that also accepts string_view lookups without building a std::string.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using KeyIndexMap = std::unordered_map<std::string, uint64_t, StringHash, std::equal_to<>>;

// A read-only word -> index table for corpus conversion, keyed by a 64-bit hash the caller
// supplies (the binding uses the str objects' own cached hash, so a lookup costs no hashing of the
// bytes). A hit still compares the UTF-8 bytes, so two words are the same only when their bytes are
// equal. The caller's hash may be weak in its low bits: a multiplicative mix spreads it over the slots.
class WordLookup {
 public:
  static constexpr uint64_t kMissing = WordTable::kNone;

  // Room for `words` entries; forgets earlier ones.
  void reset(std::size_t words) { table_ = WordTable(words); }
  // Adds a word that is not in the table yet (the caller inserts distinct words only).
  void insert(uint64_t hash, std::string_view word, uint64_t index) { table_.insert(mix(hash), word, index); }
  // The index of `word` (whose hash is `hash`), or kMissing.
  uint64_t find(uint64_t hash, std::string_view word) const {
    const uint64_t record = table_.find(mix(hash), word);
    return record == WordTable::kNone ? kMissing : table_.value(record);
  }
  std::size_t size() const { return table_.size(); }

 private:
  static uint64_t mix(uint64_t hash) { return (hash * 0x9E3779B97F4A7C15ull) >> 17; }
  WordTable table_;
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
