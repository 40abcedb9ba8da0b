#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <iterator>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "kv/batch_similar.hpp"
#include "kv/similar.hpp"
#include "kv/word2vec_format.hpp"

namespace tarnivel {
namespace {

Word2VecTable parse(const std::string& bytes, bool binary = false, std::optional<uint64_t> limit = std::nullopt,
                    Utf8Errors errors = Utf8Errors::strict, bool parallel = false) {
  Word2VecReadOptions o;
  o.binary = binary;
  o.limit = limit;
  o.errors = errors;
  o.parallel = parallel;
  return parse_word2vec(std::span<const char>(bytes.data(), bytes.size()), "f.txt", o);
}

std::string error_of(const std::string& bytes, bool binary = false) {
  try {
    parse(bytes, binary);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "(no error)";
}

std::string le_floats(std::initializer_list<float> values) {
  std::string out;
  for (float v : values) {
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
  }
  return out;
}

BatchQueries queries(const float* data, std::size_t count, std::size_t stride, std::size_t level, std::size_t k) {
  BatchQueries qs;
  qs.data = data;
  qs.count = count;
  qs.stride = stride;
  qs.level = level;
  qs.k = k;
  return qs;
}

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "w2v_" + std::to_string(::getpid()) + "_" + name;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Word2VecFormat, DamagedFilesNameTheLineAndTheProblem) {
  struct Case {
    std::string bytes;
    bool binary;
    std::string message;
  };
  const std::string ab_row = "a " + le_floats({1.0f, 2.0f}) + "\n";
  const std::vector<Case> cases = {
      {"", false, "invalid word2vec file f.txt, line 1: the file is empty"},
      {"2 x\n", false, "line 1: expected the word count and the vector size ('WORDS DIMENSIONS'), found '2 x'"},
      {"2\n", false, "line 1: expected the word count"},
      {"2 3 4\n", false, "line 1: expected the word count"},
      {"-1 3\n", false, "line 1: expected the word count"},
      {"2 3\na 1 2 3\nb 1 2\n", false,
       "line 3: expected 3 numbers after the word 'b' (as the header declares), found 2"},
      {"2 3\na 1 2 3\nb 1 x 3\n", false, "line 3: value 2 of the word 'b' is not a number: 'x'"},
      {"2 3\na 1 2 3\nb 1 2,5 3\n", false, "line 3: value 2 of the word 'b' is not a number: '2,5'"},
      {"1 2\na 1 2 3\n", false, "line 2: more than the 2 numbers the header declares after the word 'a'"},
      {"3 2\na 1 2\nb 1 2\n", false, "line 4: the file ends after 2 of the 3 words the header declares"},
      {"1 2\na 1 2\nb 1 2\n", false, "line 3: more rows than the 1 words the header declares"},
      {"2 1\na 1\n\nb 2\n", false, "line 3: empty line where a word and its 1 numbers were expected"},
      {"1 1\n 1\n", false, "line 2: the line starts with a space or tab instead of a word"},
      {"1 1\nx\xff 1\n", false,
       "line 2: the word 'x\\xff' is not valid UTF-8 (byte 0xff at offset 1); load with errors='replace' or "
       "errors='ignore' to keep such words"},
      {"1 2000000000000\na 1\n", false, "line 2: expected 2000000000000 numbers after the word 'a'"},
      {"2 2\n" + ab_row + "b " + le_floats({3.0f}).substr(0, 3), true,
       "line 3: the file ends inside the vector of the word 'b' (3 of 8 bytes); it is truncated"},
      {"2 2\n" + ab_row + "bb", true, "line 3: the file ends inside a word ('bb'); it is truncated"},
      {"2 2\n" + ab_row, true, "line 3: the file ends after 1 of the 2 words the header declares"},
      {"1 2\n" + ab_row + "b " + le_floats({3.0f, 4.0f}) + "\n", true,
       "line 3: 11 bytes follow the 1 words the header declares"},
      {"1 1\n\xc3 " + le_floats({1.0f}), true, "line 2: the word '\\xc3' is not valid UTF-8"},
      {"x 2\n", true, "line 1: expected the word count"},
  };
  for (const Case& c : cases) {
    const std::string got = error_of(c.bytes, c.binary);
    EXPECT_NE(got.find(c.message), std::string::npos) << "got: " << got << "\nwant: " << c.message;
    EXPECT_EQ(got.rfind("invalid word2vec file f.txt, line ", 0), 0u) << got;
  }
}

TEST(Word2VecFormat, AcceptsCrlfTrailingSpacesTabsAndBlankEnd) {
  const Word2VecTable t = parse("2 3 \r\nthe 1 -2.5\t3e2  \r\ncat +0.5 -0 1E-3\r\n\r\n\n");
  ASSERT_EQ(t.words, (std::vector<std::string>{"the", "cat"}));
  ASSERT_EQ(t.dim, 3u);
  const std::vector<float> want = {1.0f, -2.5f, 300.0f, 0.5f, -0.0f, 0.001f};
  ASSERT_EQ(t.values.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(t.values[i]), std::bit_cast<uint32_t>(want[i])) << i;
  }
  // Binary: newlines before a word are skipped, the last record may lack its newline.
  const Word2VecTable b = parse("2 1\r\n\na " + le_floats({1.5f}) + "\n\nb " + le_floats({-2.0f}), true);
  EXPECT_EQ(b.words, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(b.values, (std::vector<float>{1.5f, -2.0f}));
}

TEST(Word2VecFormat, NumbersRoundLikeStrtof) {
  // Hand-picked forms and values (float midpoints: 16777217 lies between 16777216 and 16777218 and
  // rounds to even), then random decimals of many lengths and exponents, all against strtof.
  std::vector<std::string> tokens = {"16777217", "16777219", "0.1", "1e-45", "1.4e-45", "3.4028235e38", "3.5e38",
                                     "-1e-50", "1e39", "inf", "-inf", "1.17549435e-38", "0.000000000000000000001",
                                     "123456789012345678901234567890", "1.000000059604644775390625", "7e22", "7e23",
                                     "9007199254740993", ".5", "5.", "-.25e+2", "1e+0"};
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

TEST(Word2VecFormat, Utf8PoliciesAndLimit) {
  // Expected texts are what bytes.decode("utf-8", "replace"/"ignore") gives in Python.
  struct Case {
    std::string word, replaced, ignored;
  };
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"a\xff" "b", "a" + r + "b", "ab"},
      {"x\xe2\x82y", "x" + r + "y", "xy"},
      {"q\xed\xa0\x80", "q" + r + r + r, "q"},
      {"q\xf0\x90\x80", "q" + r, "q"},
      {"q\xc0\xaf", "q" + r + r, "q"},
      {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const Case& c : cases) {
    const std::string file = "1 1\n" + c.word + " 1\n";
    EXPECT_EQ(parse(file, false, std::nullopt, Utf8Errors::replace).words[0], c.replaced);
    EXPECT_EQ(parse(file, false, std::nullopt, Utf8Errors::ignore).words[0], c.ignored);
  }
  // A limit reads only the first rows: what follows them is never looked at.
  EXPECT_EQ(parse("3 1\na 1\nb 2\nc oops\n", false, 2).words, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parse("3 1\na " + le_floats({1.0f}) + "\nb", true, 1).words, (std::vector<std::string>{"a"}));
  EXPECT_EQ(parse("2 1\na 1\nb 2\n", false, 10).words.size(), 2u);
}

TEST(Word2VecFormat, WrittenFilesReadBackBitForBitAndHaveTheDocumentedLayout) {
  using L = std::numeric_limits<float>;
  const std::vector<std::string> words = {"the", "caf\xc3\xa9", "x"};
  const std::vector<float> values = {1.0f / 3.0f, -0.0f, L::denorm_min(), L::max(), 1e-30f, -7.5f,
                                     0.1f,        L::infinity(), 123456.79f, 2.0f,  -1e30f, L::min()};
  for (bool binary : {false, true}) {
    const std::string path = temp_path(binary ? "rt.bin" : "rt.txt");
    write_word2vec(path, Word2VecSource{&words, values.data(), 4, {}, 4}, binary, false);
    Word2VecReadOptions o;
    o.binary = binary;
    const Word2VecTable t = read_word2vec(path, o);
    EXPECT_EQ(t.words, words);
    ASSERT_EQ(t.values.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(t.values[i]), std::bit_cast<uint32_t>(values[i])) << binary << " " << i;
    }
    const std::string bytes = slurp(path);
    if (binary) {
      EXPECT_EQ(bytes, "3 4\nthe " + le_floats({values[0], values[1], values[2], values[3]}) + "\ncaf\xc3\xa9 " +
                           le_floats({values[4], values[5], values[6], values[7]}) + "\nx " +
                           le_floats({values[8], values[9], values[10], values[11]}) + "\n");
    } else {
      EXPECT_EQ(bytes.substr(0, bytes.find('\n', 4)), "3 4\nthe 0.33333334 -0 1e-45 3.4028235e+38");
    }
    std::remove(path.c_str());
  }
  // A prefix of each row (level) through a row list that repeats a row.
  const std::string path = temp_path("prefix.txt");
  const std::vector<uint64_t> rows = {2, 0, 2};
  write_word2vec(path, Word2VecSource{&words, values.data(), 4, rows, 2}, false, false);
  EXPECT_EQ(slurp(path), "3 2\nthe 123456.79 2\ncaf\xc3\xa9 0.33333334 -0\nx 123456.79 2\n");
  std::remove(path.c_str());
}

TEST(Word2VecFormat, UnwritableWordsAndFilesAreValueErrors) {
  const std::vector<float> v = {1.0f, 2.0f};
  const auto error = [&](const std::vector<std::string>& words, const std::string& path) -> std::string {
    try {
      if (words.empty()) read_word2vec(path, {});
      else write_word2vec(path, Word2VecSource{&words, v.data(), 1, {}, 1}, false, false);
    } catch (const ValueError& e) {
      return e.what();
    }
    return "(no error)";
  };
  for (const std::string bad : {"two words", "", "tab\t", "nl\n"}) {
    EXPECT_EQ(error({"ok", bad}, temp_path("never.txt")).rfind("cannot write word 1 (", 0), 0u) << bad;
  }
  EXPECT_EQ(error({"ok"}, "/nonexistent-dir/x.txt"),
            "failed to write /nonexistent-dir/x.txt.tmp: No such file or directory (os error 2)");
  EXPECT_EQ(error({}, "/nonexistent-dir/x.txt"), "failed to read /nonexistent-dir/x.txt: No such file or directory (os error 2)");
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
  const Word2VecTable one = parse(file, false, std::nullopt, Utf8Errors::strict, false);
  const Word2VecTable many = parse(file, false, std::nullopt, Utf8Errors::strict, true);
  EXPECT_EQ(one.words, many.words);
  EXPECT_EQ(one.values, many.values);
  EXPECT_EQ(many.words.back(), "w39999");

  // Two defects: the one earlier in the file is reported.
  std::string damaged = file;
  damaged.replace(damaged.rfind("w39000 ") + 7, 1, "?");
  damaged.replace(damaged.find("w10 ") + 4, 1, "#");
  try {
    parse(damaged, false, std::nullopt, Utf8Errors::strict, true);
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("line 12: value 1 of the word 'w10'"), std::string::npos) << e.what();
  }
}

// Batched queries against the sequential scan of most_similar: same rows, scores within 1e-5, and
// the same answer whether the pool splits the work or one thread does it all.
TEST(BatchSimilarPool, AgreesWithSequentialScanAndDoesNotDependOnTheSplit) {
  const std::size_t n = 5000, width = 37;
  std::mt19937 gen(11);
  std::normal_distribution<float> normal;
  std::vector<float> m(n * width);
  for (float& x : m) x = normal(gen);
  for (std::size_t i = 0; i < width; ++i) m[7 * width + i] = 0.0f;  // a zero row scores 0
  const StoredRows rows{m.data(), width, n};
  for (std::size_t level : {std::size_t{1}, std::size_t{8}, std::size_t{19}, width}) {
    const std::size_t count = 70;
    BatchQueries qs = queries(m.data(), count, width, level, 6);
    std::vector<uint64_t> exclude(count);
    for (std::size_t q = 0; q < count; ++q) exclude[q] = q;  // each query leaves out its own row
    qs.exclude = exclude;
    qs.exclude_width = 1;
    qs.parallel = true;
    const auto pooled = nearest_batch(rows, qs);
    qs.parallel = false;
    const auto alone = nearest_batch(rows, qs);
    ASSERT_EQ(pooled.size(), count);
    for (std::size_t q = 0; q < count; ++q) {
      const auto want = nearest_rows(std::span<const float>(m.data() + q * width, level), RowSet{m.data(), width, n, {}},
                                     q, 6);
      ASSERT_EQ(pooled[q].size(), want.size());
      for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(pooled[q][i].id, alone[q][i].id);
        EXPECT_EQ(pooled[q][i].score, alone[q][i].score);
        EXPECT_NEAR(pooled[q][i].score, want[i].score, 1e-5) << "level " << level << " query " << q;
        if (level > 1) {
          EXPECT_EQ(pooled[q][i].id, want[i].id) << "level " << level << " query " << q;
        }
      }
    }
  }
}

TEST(BatchSimilar, TiesZeroVectorsSkipsAndNonFiniteValues) {
  // Rows: 0 and 2 equal (a tie comes out in row order), 1 zero, 3 opposite; query along row 0.
  const std::vector<float> m = {1, 0, 0, 0, 1, 0, -1, 0};
  const std::vector<float> q = {2, 0};
  BatchQueries qs = queries(q.data(), 1, 2, 2, 10);
  const auto got = nearest_batch(StoredRows{m.data(), 2, 4}, qs)[0];
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(got[i].id, (std::vector<uint64_t>{0, 2, 1, 3})[i]);
    EXPECT_EQ(got[i].score, (std::vector<float>{1, 1, 0, -1})[i]);
  }
  const std::vector<uint8_t> skip = {1, 0, 0, 0};
  qs.skip = skip;
  qs.k = 1;
  EXPECT_EQ(nearest_batch(StoredRows{m.data(), 2, 4}, qs)[0][0].id, 2u);

  std::vector<float> bad = m;
  bad[5] = std::nanf("");
  qs.skip = {};
  try {
    nearest_batch(StoredRows{bad.data(), 2, 4}, qs);
    ADD_FAILURE();
  } catch (const NonFiniteValue& e) {
    EXPECT_FALSE(e.in_query);
    EXPECT_EQ(e.index, 2u);
  }
  const std::vector<float> inf_query = {std::numeric_limits<float>::infinity(), 0};
  qs.data = inf_query.data();
  try {
    nearest_batch(StoredRows{m.data(), 2, 4}, qs);
    ADD_FAILURE();
  } catch (const NonFiniteValue& e) {
    EXPECT_TRUE(e.in_query);
  }
}

}  // namespace
}  // namespace tarnivel
