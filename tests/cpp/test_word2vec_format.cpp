#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "kv/batch_similar.hpp"
#include "kv/similar.hpp"
#include "kv/word2vec_format.hpp"

namespace tarnivel {
namespace {

// The numbers of a text file, parsed by one thread or by the pool.
Word2VecTable parse(const std::string& bytes, bool parallel = false) {
  Word2VecReadOptions o;
  o.parallel = parallel;
  return parse_word2vec(std::span<const char>(bytes.data(), bytes.size()), "f.txt", o);
}

TEST(Word2VecFormat, NumbersRoundLikeStrtof) {
  // Hand-picked forms and values (float midpoints: 16777217 lies between 16777216 and 16777218 and
  // rounds to even), then random decimals of many lengths and exponents, all against strtof.
  std::vector<std::string> tokens = {"16777217", "16777219", "0.1", "1e-45", "1.4e-45", "3.4028235e38", "3.5e38",
                                     "-1e-50", "1e39", "inf", "-inf", "1.17549435e-38", "0.000000000000000000001",
                                     "123456789012345678901234567890", "1.000000059604644775390625", "7e22", "7e23",
                                     "9007199254740993", ".5", "5.", "-.25e+2", "1e+0", "+0.5", "-0", "1E-3", "3e2"};
  std::mt19937_64 gen(7);
  for (int i = 0; i < 5000; ++i) {
    std::string t = (gen() % 2) ? "-" : "";
    const int digits = 1 + static_cast<int>(gen() % 20);
    for (int d = 0; d < digits; ++d) t.push_back(static_cast<char>('0' + gen() % 10));
    const int dot = static_cast<int>(gen() % (digits + 1));
    t.insert(t.size() - static_cast<std::size_t>(dot), ".");
    if (t.back() == '.') t.pop_back();
    if (gen() % 3 == 0) t += "e" + std::to_string(static_cast<int>(gen() % 90) - 45);
    tokens.push_back(t);
  }
  std::string file = std::to_string(tokens.size()) + " 1\n";
  for (std::size_t i = 0; i < tokens.size(); ++i) file += "w" + std::to_string(i) + " " + tokens[i] + "\n";
  const Word2VecTable t = parse(file);
  ASSERT_EQ(t.values.size(), tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const float want = std::strtof(tokens[i].c_str(), nullptr);
    EXPECT_EQ(std::bit_cast<uint32_t>(t.values[i]), std::bit_cast<uint32_t>(want)) << tokens[i];
  }
}

// A text file of several parse blocks: the pool gives the same table as one thread, and the first
// defect in file order is the one reported.
TEST(Word2VecFormatPool, ParallelParseMatchesSequentialAndReportsTheFirstDefect) {
  const std::size_t rows = 40000, dim = 8;
  std::mt19937 gen(3);
  std::normal_distribution<float> normal;
  std::string body;
  for (std::size_t r = 0; r < rows; ++r) {
    body += "w" + std::to_string(r);
    for (std::size_t i = 0; i < dim; ++i) body += " " + std::to_string(normal(gen));
    body += "\n";
  }
  const std::string file = std::to_string(rows) + " " + std::to_string(dim) + "\n" + body;
  ASSERT_GT(file.size(), std::size_t{3} << 20);
  const Word2VecTable one = parse(file, false);
  const Word2VecTable many = parse(file, true);
  EXPECT_EQ(one.words, many.words);
  EXPECT_EQ(one.values, many.values);
  EXPECT_EQ(many.words.back(), "w39999");

  // Two defects: the one earlier in the file is reported.
  std::string damaged = file;
  damaged.replace(damaged.rfind("w39000 ") + 7, 1, "?");
  damaged.replace(damaged.find("w10 ") + 4, 1, "#");
  try {
    parse(damaged, true);
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("line 12: value 1 of the word 'w10'"), std::string::npos) << e.what();
  }
}

// Batched queries give the same neighbours and scores whether the pool splits the work or one thread
// does it all (their agreement with most_similar is checked from Python).
TEST(BatchSimilarPool, DoesNotDependOnTheSplit) {
  const std::size_t n = 5000, width = 37, count = 70;
  std::mt19937 gen(11);
  std::normal_distribution<float> normal;
  std::vector<float> m(n * width);
  for (float& x : m) x = normal(gen);
  std::vector<uint64_t> exclude(count);
  for (std::size_t q = 0; q < count; ++q) exclude[q] = q;  // each query leaves out its own row
  for (std::size_t level : {std::size_t{1}, std::size_t{19}, width}) {
    BatchQueries qs{.data = m.data(), .count = count, .stride = width, .level = level, .k = 6, .exclude = exclude,
                    .exclude_width = 1};
    const auto pooled = nearest_batch(StoredRows{m.data(), width, n}, qs);
    qs.parallel = false;
    const auto alone = nearest_batch(StoredRows{m.data(), width, n}, qs);
    ASSERT_EQ(pooled.size(), count);
    for (std::size_t q = 0; q < count; ++q) {
      ASSERT_EQ(pooled[q].size(), 6u);
      for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(pooled[q][i].id == alone[q][i].id && pooled[q][i].score == alone[q][i].score) << level << " " << q;
        EXPECT_NE(pooled[q][i].id, q);
      }
    }
  }
}

TEST(BatchSimilar, TiesZeroVectorsAndSkips) {
  // Rows: 0 and 2 equal (a tie comes out in row order), 1 zero, 3 opposite; query along row 0.
  const std::vector<float> m = {1, 0, 0, 0, 1, 0, -1, 0}, q = {2, 0};
  const std::vector<uint8_t> skip = {1, 0, 0, 0};
  BatchQueries qs{.data = q.data(), .count = 1, .stride = 2, .level = 2, .k = 10};
  const auto got = nearest_batch(StoredRows{m.data(), 2, 4}, qs)[0];
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(got[i].id, (std::vector<uint64_t>{0, 2, 1, 3})[i]);
    EXPECT_EQ(got[i].score, (std::vector<float>{1, 1, 0, -1})[i]);
  }
  qs.skip = skip;
  qs.k = 1;
  EXPECT_EQ(nearest_batch(StoredRows{m.data(), 2, 4}, qs)[0][0].id, 2u);
}

}  // namespace
}  // namespace tarnivel
