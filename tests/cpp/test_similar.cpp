// Neighbour queries (top-k selection, cosine scores, the funnel), the scan for non-finite weights, and
// the word2vec text parser
// (the layouts and vectors the core refuses are checked from Python, in test_files and test_reliability).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "kv/queries.hpp"
#include "kv/similar.hpp"
#include "kv/word2vec_format.hpp"
#include "weights/finite.hpp"

namespace tarnivel {
namespace {

// The selection written out plainly: a working list of k entries, the first minimum found by a scan
// from the front, replaced only by a strictly greater score; then a stable sort by descending score.
std::vector<Neighbour> reference_select(const std::vector<Neighbour>& offered, std::size_t k) {
  std::vector<Neighbour> work;
  for (const Neighbour& c : offered) {
    if (work.size() < k) {
      work.push_back(c);
      continue;
    }
    if (k == 0) continue;
    std::size_t min = 0;
    for (std::size_t i = 1; i < work.size(); ++i) {
      if (work[i].score < work[min].score) min = i;
    }
    if (work[min].score < c.score) work[min] = c;
  }
  std::stable_sort(work.begin(), work.end(), [](const Neighbour& a, const Neighbour& b) { return a.score > b.score; });
  return work;
}

std::vector<Neighbour> heap_select(const std::vector<Neighbour>& offered, std::size_t k) {
  TopK top(k);
  for (const Neighbour& c : offered) top.offer(c.id, c.score);
  return top.take_sorted();
}

void expect_same(const std::vector<Neighbour>& got, const std::vector<Neighbour>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "position " << i;
    EXPECT_EQ(got[i].score, want[i].score) << "position " << i;
  }
}

TEST(TopKSelection, MatchesWorkingListOnRandomScoresWithTies) {
  std::mt19937_64 gen(20240611);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = gen() % 200;
    // Few distinct values make ties the rule rather than the exception; -0.0 and 0.0 tie as well.
    const int distinct = 1 + static_cast<int>(gen() % 6);
    std::vector<Neighbour> offered;
    for (std::size_t i = 0; i < n; ++i) {
      const int v = static_cast<int>(gen() % static_cast<uint64_t>(distinct));
      float score = static_cast<float>(v) / 4.0f - 0.5f;
      if (score == 0.0f && gen() % 2 == 0) score = -0.0f;
      offered.push_back({i, score});
    }
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, n / 2,
                          n > 0 ? n - 1 : 0, n, n + 5}) {
      SCOPED_TRACE("n=" + std::to_string(n) + " k=" + std::to_string(k));
      expect_same(heap_select(offered, k), reference_select(offered, k));
    }
  }
}

TEST(TopKSelection, NanStopsTheQueryUnlessNothingIsKept) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  TopK top(2);
  top.offer(0, 0.5f);
  EXPECT_THROW(top.offer(1, nan), InternalError);
  TopK none(0);
  EXPECT_NO_THROW(none.offer(1, nan));
  EXPECT_TRUE(none.take_sorted().empty());
}

TEST(CosineScore, SequentialFloatSumsAndZeroNorms) {
  const std::vector<float> q{3.0f, 4.0f}, v{6.0f, 8.0f}, w{-4.0f, 3.0f}, zero{0.0f, 0.0f};
  const float qn = query_norm(q);
  EXPECT_EQ(qn, 5.0f);
  EXPECT_EQ(cosine_score(q, qn, v.data()), 1.0f);
  EXPECT_EQ(cosine_score(q, qn, w.data()), 0.0f);
  EXPECT_EQ(cosine_score(q, qn, zero.data()), 0.0f);
  EXPECT_EQ(cosine_score(zero, query_norm(zero), v.data()), 0.0f);
  // A NaN sum of squares counts as a zero norm.
  EXPECT_EQ(query_norm(std::vector<float>{std::numeric_limits<float>::quiet_NaN(), 1.0f}), 0.0f);
  // The order of the float32 sum is observable: (1e8 + 1) - 1e8 is 0 in float32, 1e8 - 1e8 + 1 is 1.
  const std::vector<float> big{1e8f, 1.0f, -1e8f}, ones{1.0f, 1.0f, 1.0f};
  EXPECT_EQ(cosine_score(big, query_norm(big), ones.data()), 0.0f);
}

TEST(Funnel, CoveringShortlistGivesTheSequentialScanOnThePool) {
  // 64 queries, 8000 rows of 40 floats (on the pool), rows 1-9 repeat row 0 (ties); coarse levels below and above 16.
  constexpr std::size_t kRows = 8000, kWidth = 40, kQueries = 64;
  std::mt19937_64 gen(7);
  std::normal_distribution<float> normal;
  std::vector<float> data(kRows * kWidth);
  for (float& x : data) x = normal(gen);
  for (std::size_t r = 1; r < 10; ++r) std::copy_n(data.begin(), kWidth, data.begin() + r * kWidth);
  std::vector<uint8_t> skip(kRows, 0);
  skip[3] = skip[500] = 1;
  BatchQueries qs{.data = data.data() + 100 * kWidth, .count = kQueries, .stride = kWidth, .level = 33, .k = 12, .skip = skip};
  const StoredRows rows{data.data(), kWidth, kRows};
  for (const auto& [coarse, shortlist] : {std::pair<std::size_t, std::size_t>{9, kRows}, {9, 40}, {33, 12}}) {
    const auto found = funnel_batch(rows, qs, coarse, shortlist);
    for (std::size_t q = 0; q < kQueries; ++q) {
      const std::span<const float> query(qs.data + q * kWidth, qs.level);
      const auto exact = nearest_rows(query, RowSet{data.data(), kWidth, kRows, skip}, kNoRow, qs.k);
      if (shortlist == kRows || coarse == qs.level) expect_same(found[q], exact);
      // A full-level narrow scan keeps the k best (no near ties here). Any list: the own row first, exact scores.
      EXPECT_EQ(found[q][0].id, 100 + q);
      for (const Neighbour& n : found[q]) EXPECT_EQ(n.score, cosine_score(query, query_norm(query), data.data() + n.id * kWidth));
    }
  }
}

TEST(NonFinite, FindsTheFirstNanOrInfinity) {
  const float big = std::numeric_limits<float>::max(), inf = std::numeric_limits<float>::infinity();
  std::vector<float> v(5000, 0.5f);
  EXPECT_EQ(first_non_finite({}), 0u);
  v[0] = big, v[1] = -big, v[2] = std::numeric_limits<float>::denorm_min(), v[3] = -0.0f;
  EXPECT_EQ(first_non_finite(v), v.size());
  // Each later find is earlier in the vector (2100: in the second block).
  for (const auto& [at, value] : {std::pair<std::size_t, float>{4999, inf}, {2100, -inf}, {7, NAN}, {0, -NAN}}) {
    v[at] = value;
    EXPECT_EQ(first_non_finite(v), at);
  }
}

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

}  // namespace
}  // namespace tarnivel
