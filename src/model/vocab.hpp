#pragma once
// Vocabulary building: word counting, the max_final_vocab cut-off, ordering, count updates and the
// interleaved initialisation of both weight matrices.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"

namespace tarnivel {

// Counts words of a corpus pass (build mode).
class WordCounter {
 public:
  void add(std::string_view word);
  // Adds `count` occurrences of a word at once (for counts gathered elsewhere).
  void add(std::string_view word, uint64_t count);
  std::size_t distinct() const { return counts_.size(); }
  const KeyIndexMap& counts() const { return counts_; }

 private:
  KeyIndexMap counts_;  // word -> count
};

// The cut-off count for max_final_vocab (1 when absent, 0, or not binding).
uint64_t vocab_cutoff(const KeyIndexMap& counts, std::optional<uint64_t> max_final_vocab);

// Build mode: keeps words with count >= max(cutoff, min_count), orders them by count descending then
// by UTF-8 bytes ascending, replaces the model's vocabulary and counts, and when at least one word
// survives initialises both matrices row by row (input row i, then output row i).
void build_vocab(Model& model, const WordCounter& counter);

// Update mode: adds 1 to counts[i] for a known word i, growing counts with zeros as needed.
// An index outside the vocabulary is an InternalError.
void add_count(Vocab& vocab, uint64_t index);

// The word -> position map of a word list; a word listed twice maps to its last position.
KeyIndexMap index_words(const std::vector<std::string>& words);

// The model a vocabulary and matrix pair describes: its words and input vectors (rows x cols), output
// weights zero, counts and output structures empty, and the fixed parameters of a loaded model.
Model model_from_words(std::vector<std::string>&& words, uint64_t cols, std::vector<float>&& input);

}  // namespace tarnivel
