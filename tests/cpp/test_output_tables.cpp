// The output layer's tables: the Huffman tree of hierarchical softmax and the alias table of the
// noise distribution, from small counts to literal results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "rng/chacha.hpp"
#include "sampling/alias.hpp"
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
  // Counts for 3 words, vocabulary of 5: the missing two weigh 1 and still get codes.
  const HuffmanTree grown = build_huffman_for_vocab(std::vector<uint64_t>{9, 4, 4}, 5);
  EXPECT_EQ(grown.codes, build_huffman(std::vector<uint64_t>{9, 4, 4, 1, 1}).codes);
  EXPECT_EQ(grown.path_nodes, build_huffman(std::vector<uint64_t>{9, 4, 4, 1, 1}).path_nodes);
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{}, 2).codes, (Codes{{1}, {0}}));
  EXPECT_TRUE(build_huffman_for_vocab(std::vector<uint64_t>{}, 0).empty());
  // More counts than words: only the vocabulary's words become leaves.
  EXPECT_EQ(build_huffman_for_vocab(std::vector<uint64_t>{5, 3, 8}, 2).codes, (Codes{{1}, {0}}));
}

AliasTable table_for(const std::vector<uint64_t>& counts) {
  const std::vector<double> w = noise_weights(counts);
  return AliasTable::build(w);
}

TEST(AliasTable, SmallTablesFromTheirCounts) {
  // One word: it lands on the large stack and is never paired.
  const AliasTable one = table_for({3});
  EXPECT_EQ(one.prob, (std::vector<float>{1.0f}));
  EXPECT_EQ(one.alias, (std::vector<uint64_t>{0}));
  ChaChaStream s = ChaChaStream::from_seed(1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(one.sample(s), 0u);
  // Equal counts: both scaled to exactly 1.0, both on the large stack, nothing paired.
  EXPECT_EQ(table_for({1, 1}).prob, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(table_for({1, 1}).alias, (std::vector<uint64_t>{0, 0}));
  // Counts 1 and 15: index 0 is paired with 1; index 1 keeps its reduced value.
  const double p1 = std::pow(15.0, 0.75);
  const double total = (-0.0 + 1.0) + p1;
  const double scaled0 = (1.0 / total) * 2.0;
  const double scaled1 = ((p1 / total) * 2.0 + scaled0) + (-1.0);
  const AliasTable skew = table_for({1, 15});
  EXPECT_EQ(skew.alias, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(skew.prob, (std::vector<float>{static_cast<float>(scaled0), static_cast<float>(scaled1)}));
  EXPECT_NEAR(skew.prob[0], 0.2320, 1e-3);
  // Zero counts: the weights stay unnormalised (0, 0), built as they are: all on the small stack.
  EXPECT_EQ(noise_weights(std::vector<uint64_t>{0, 0}), (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(table_for({0, 0}).prob, (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(table_for({0, 0}).alias, (std::vector<uint64_t>{0, 0}));
  // No words: sampling gives 0 without reading the stream.
  const AliasTable empty = table_for({});
  EXPECT_TRUE(empty.empty());
  ChaChaStream before = s;
  EXPECT_EQ(empty.sample(s), 0u);
  EXPECT_EQ(s.next_u64(), before.next_u64());
}

}  // namespace
}  // namespace tarnivel
