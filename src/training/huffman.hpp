#pragma once
// Huffman tree over the vocabulary counts for hierarchical softmax.
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

}  // namespace tarnivel
