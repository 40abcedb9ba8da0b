#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "model/model.hpp"
#include "model/vocab.hpp"

namespace tarnivel {
namespace {

using Words = std::vector<std::string>;

WordCounter count(std::initializer_list<Words> sentences) {
  WordCounter counter;
  for (const Words& sentence : sentences) {
    for (const std::string& w : sentence) counter.add(w);
  }
  return counter;
}

Model build(const WordCounter& counter, uint64_t min_count = 1,
            std::optional<uint64_t> max_final_vocab = std::nullopt, uint64_t vector_size = 4) {
  Model model;
  model.params.min_count = min_count;
  model.params.max_final_vocab = max_final_vocab;
  model.params.vector_size = vector_size;
  build_vocab(model, counter);
  return model;
}

const WordCounter kXyz = count({{"x", "y", "x"}, {"y", "z"}});

TEST(VocabBuild, CutOffsAndMinimumCount) {
  const Model all = build(kXyz);
  EXPECT_EQ(all.vocab.counts, (std::vector<uint64_t>{2, 2, 1}));
  EXPECT_EQ(all.vocab.key_to_index, (KeyIndexMap{{"x", 0}, {"y", 1}, {"z", 2}}));
  // (min_count, max_final_vocab) -> the words kept. 0 acts as 1 / as no cap; x and y tie at a cut
  // of 1 word: both dropped.
  const struct {
    uint64_t min_count;
    std::optional<uint64_t> cap;
    Words kept;
  } cases[] = {{2, std::nullopt, {"x", "y"}}, {0, std::nullopt, {"x", "y", "z"}}, {1, 1, {}},
               {1, 2, {"x", "y"}},            {1, 0, {"x", "y", "z"}},            {1, 3, {"x", "y", "z"}}};
  for (const auto& c : cases) EXPECT_EQ(build(kXyz, c.min_count, c.cap).vocab.index_to_key, c.kept) << c.min_count;
  EXPECT_EQ(vocab_cutoff(kXyz.counts(), 1), 3u);
  EXPECT_EQ(vocab_cutoff(kXyz.counts(), std::nullopt), 1u);
  // The cut-off and min_count combine by their maximum.
  const WordCounter wide = count({{"a", "a", "a", "b", "b", "c", "d"}});
  EXPECT_EQ(vocab_cutoff(wide.counts(), 2), 2u);
  EXPECT_EQ(build(wide, 3, 2).vocab.index_to_key, (Words{"a"}));
  for (const Model& none : {build(kXyz, 1, 1), build(count({}))}) {
    EXPECT_TRUE(none.vocab.key_to_index.empty());
    EXPECT_TRUE(none.vocab.counts.empty());
    EXPECT_TRUE(none.input_vectors.empty());
    EXPECT_TRUE(none.output_vectors.empty());
  }
}

TEST(VocabBuild, EqualCountsOrderByBytes) {
  EXPECT_EQ(build(count({{"ab", "a"}})).vocab.index_to_key, (Words{"a", "ab"}));
  EXPECT_EQ(build(count({{"a", "B"}})).vocab.index_to_key, (Words{"B", "a"}));
  // Bytes of 0x80 and above sort after ASCII; the empty word is a word like any other.
  EXPECT_EQ(build(count({{"\xc3\xa9t\xc3\xa9", "z", "", "~"}})).vocab.index_to_key,
            (Words{"", "z", "~", "\xc3\xa9t\xc3\xa9"}));
  // Count comes first.
  EXPECT_EQ(build(count({{"b", "a", "b"}})).vocab.index_to_key, (Words{"b", "a"}));
}

TEST(VocabBuild, AddCountGrowsWithZeros) {
  Vocab vocab;
  vocab.index_to_key = {"a", "b", "c"};
  add_count(vocab, 2);
  add_count(vocab, 2);
  add_count(vocab, 0);
  EXPECT_EQ(vocab.counts, (std::vector<uint64_t>{1, 0, 2}));
  EXPECT_THROW(add_count(vocab, 3), InternalError);
}

TEST(ModelLevels, DefaultsAndNormalisation) {
  using L = std::vector<uint64_t>;
  EXPECT_EQ(default_levels(100), (L{25, 50, 100}));
  EXPECT_EQ(default_levels(6), (L{1, 3, 6}));
  EXPECT_EQ(default_levels(3), (L{1, 3}));
  EXPECT_EQ(default_levels(2), (L{1, 2}));
  EXPECT_EQ(default_levels(1), (L{1}));
  EXPECT_EQ(default_levels(0), (L{1}));
  EXPECT_EQ(normalise_levels(std::nullopt, 100), (L{25, 50, 100}));
  EXPECT_EQ(normalise_levels(L{64, 0, 200, 32, 64}, 100), (L{64, 32, 64}));
  EXPECT_EQ(normalise_levels(L{8, 4, 4, 9, 0}, 8), (L{8, 4, 4}));
  EXPECT_EQ(normalise_levels(L{}, 8), (L{8}));
  EXPECT_EQ(normalise_levels(L{0}, 8), (L{8}));
  EXPECT_EQ(normalise_levels(std::nullopt, 0), (L{1}));
  EXPECT_EQ(normalise_levels(L{5}, 0), (L{0}));
}

// The conversion table: hits confirmed on the bytes, so equal hashes of different words (and any
// hash of an absent word) never produce an index.
TEST(WordLookup, MatchesBytesNotHashes) {
  WordLookup table;
  EXPECT_EQ(table.find(1, "a"), WordLookup::kMissing);  // never built
  table.reset(3);
  const std::string nul("a\0b", 3);
  table.insert(42, "a", 0);
  table.insert(42, nul, 1);  // same hash as "a"
  table.insert(43, "", 2);
  EXPECT_EQ(table.find(42, "a"), 0u);
  EXPECT_EQ(table.find(42, nul), 1u);
  EXPECT_EQ(table.find(43, ""), 2u);
  EXPECT_EQ(table.find(42, "b"), WordLookup::kMissing);
  EXPECT_EQ(table.find(42, std::string_view("a\0", 2)), WordLookup::kMissing);
  EXPECT_EQ(table.find(44, "a"), WordLookup::kMissing);  // the hash is part of the key
}

}  // namespace
}  // namespace tarnivel
