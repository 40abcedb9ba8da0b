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
