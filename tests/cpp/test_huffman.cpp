#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "training/huffman.hpp"

namespace tarnivel {
namespace {

using Codes = std::vector<std::vector<uint8_t>>;
using Paths = std::vector<std::vector<uint64_t>>;

TEST(HuffmanTree, SmallTreesFromTheirCounts) {
  EXPECT_TRUE(build_huffman(std::vector<uint64_t>{}).empty());

  const HuffmanTree one = build_huffman(std::vector<uint64_t>{7});
  EXPECT_EQ(one.codes, (Codes{{}}));
  EXPECT_EQ(one.path_nodes, (Paths{{}}));

  // Lighter word 1 comes out first (0-branch), word 0 second (1-branch).
  const HuffmanTree two = build_huffman(std::vector<uint64_t>{5, 3});
  EXPECT_EQ(two.codes, (Codes{{1}, {0}}));
  EXPECT_EQ(two.path_nodes, (Paths{{2}, {2}}));

  // Ties: the larger node number comes out first.
  const HuffmanTree three = build_huffman(std::vector<uint64_t>{1, 1, 1});
  EXPECT_EQ(three.codes, (Codes{{0}, {1, 1}, {1, 0}}));
  EXPECT_EQ(three.path_nodes, (Paths{{4}, {4, 3}, {4, 3}}));

  // Zero counts weigh 1: they tie like ones.
  EXPECT_EQ(build_huffman(std::vector<uint64_t>{0, 0}).codes, (Codes{{1}, {0}}));
}

// Structural checks on a larger tree: node numbering, root, prefix-free codes, heavier words
// never deeper than lighter ones.
TEST(HuffmanTree, TenWordsUseNodesTenToEighteen) {
  const HuffmanTree tree = build_huffman(std::vector<uint64_t>{50, 40, 30, 20, 10, 9, 8, 3, 2, 1});
  ASSERT_EQ(tree.codes.size(), 10u);
  std::vector<bool> seen(19, false);
  for (std::size_t w = 0; w < 10; ++w) {
    ASSERT_EQ(tree.codes[w].size(), tree.path_nodes[w].size());
    ASSERT_FALSE(tree.path_nodes[w].empty());
    EXPECT_EQ(tree.path_nodes[w].front(), 18u);  // root
    for (uint64_t node : tree.path_nodes[w]) {
      EXPECT_GE(node, 10u);
      seen.at(node) = true;
    }
    if (w > 0) {
      EXPECT_LE(tree.codes[w - 1].size(), tree.codes[w].size());
    }
    for (std::size_t u = 0; u < w; ++u) {  // codes[u] is no longer than codes[w]
      EXPECT_FALSE(std::equal(tree.codes[u].begin(), tree.codes[u].end(), tree.codes[w].begin())) << u << " " << w;
    }
  }
  for (uint64_t node = 10; node < 19; ++node) EXPECT_TRUE(seen[node]) << node;
}

TEST(HuffmanTree, ForVocabCoversEveryWord) {
  const std::vector<uint64_t> counts{9, 4, 4};
  EXPECT_EQ(build_huffman_for_vocab(counts, 3).codes, build_huffman(counts).codes);
  EXPECT_EQ(build_huffman_for_vocab(counts, 3).path_nodes, build_huffman(counts).path_nodes);

  // Counts for 3 words, vocabulary of 5: the missing two weigh 1 and still get codes.
  const HuffmanTree grown = build_huffman_for_vocab(counts, 5);
  ASSERT_EQ(grown.codes.size(), 5u);
  EXPECT_EQ(grown.codes, build_huffman(std::vector<uint64_t>{9, 4, 4, 1, 1}).codes);
  for (const auto& path : grown.path_nodes) {
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), 8u);
  }
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{}, 2).codes, (Codes{{1}, {0}}));
  EXPECT_TRUE(build_huffman_for_vocab(std::vector<uint64_t>{}, 0).empty());
  // More counts than words: only the vocabulary's words become leaves.
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{5, 3, 8}, 2).codes, (Codes{{1}, {0}}));
}

}  // namespace
}  // namespace tarnivel
