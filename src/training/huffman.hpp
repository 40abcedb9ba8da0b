#pragma once
// Huffman tree over the vocabulary counts for hierarchical softmax.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnivel {

struct HuffmanTree {
  // Per word, root first: code bits (0/1) and the inner-node numbers (>= number of leaves).
  std::vector<std::vector<uint8_t>> codes;
  std::vector<std::vector<uint64_t>> path_nodes;
  bool empty() const { return codes.empty(); }
};

// Builds the tree for counts.size() leaves (a count of 0 weighs 1); empty counts give an empty tree.
HuffmanTree build_huffman(std::span<const uint64_t> counts);

// The tree for a vocabulary of `vocab_size` words from a count list that may be shorter (after a
// load): missing counts weigh 1, extra counts are ignored, so every word gets a code and the inner
// nodes are numbered vocab_size .. 2 * vocab_size - 2. Equals build_huffman when the sizes match.
HuffmanTree build_huffman_for_vocab(std::span<const uint64_t> counts, std::size_t vocab_size);

}  // namespace tarnivel
