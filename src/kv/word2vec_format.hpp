#pragma once
// The word2vec exchange formats that other tools read and write.
//
// Text:   a header line "V D", then V lines "word v1 ... vD" (numbers separated by spaces or tabs).
// Binary: the same header line, then V records: the word, one space, D little-endian float32 values,
//         and a newline.
//
// Reading accepts CRLF line ends, trailing spaces and tabs, and (binary) any number of newlines
// before a word. Every defect is a ValueError naming the file and the line:
// "invalid word2vec file {path}, line {n}: {problem}".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnivel {

// What to do with a word whose bytes are not UTF-8: refuse the file, replace each bad sequence by
// U+FFFD (as Python's errors="replace" does), or drop the bad bytes.
enum class Utf8Errors { strict, replace, ignore };

// Parses the name of an `errors` option ("strict", "replace", "ignore"); nullopt for anything else.
std::optional<Utf8Errors> utf8_errors_from_name(const std::string& name);

// The rows of a word2vec file: words in file order and their vectors, row-major.
struct Word2VecTable {
  std::vector<std::string> words;
  uint64_t dim = 0;
  std::vector<float> values;  // words.size() * dim
};

struct Word2VecReadOptions {
  bool binary = false;
  std::optional<uint64_t> limit;  // read only the first `limit` rows
  Utf8Errors errors = Utf8Errors::strict;
  bool parallel = true;  // text: parse blocks of lines on the worker pool
};

// Parses a whole file held in memory; `name` is the path used in messages.
Word2VecTable parse_word2vec(std::span<const char> bytes, const std::string& name, const Word2VecReadOptions& options);

// Reads the file into memory and parses it: "failed to read {path}: {error}" when it cannot be read,
// is not a regular file, or changes while it is read.
Word2VecTable read_word2vec(const std::string& path, const Word2VecReadOptions& options);

// The rows to write: row r of the table is `dim` floats at base + rows[r] * stride (rows empty: r).
struct Word2VecSource {
  const std::vector<std::string>* words = nullptr;
  const float* base = nullptr;
  std::size_t stride = 0;
  std::span<const uint64_t> rows;
  uint64_t dim = 0;
};

// Checks that every word can be written (not empty, no space, tab, CR or LF):
// ValueError "cannot write word {i} ('{word}') in word2vec format: {reason}".
void check_word2vec_words(const std::vector<std::string>& words);

// Writes the file under a temporary name of its own (`path` + "." + random suffix + ".tmp", so
// concurrent writers never share one) and renames it into place, the last rename winning whole:
// "failed to write {tmp}: {error}", "failed to finalize {path}: {error}". Text values are written as
// the shortest decimal text that reads back to the same float32, so text files round-trip exactly
// too (NaN payloads excepted). Rows are formatted on the worker pool when `parallel` is set.
void write_word2vec(const std::string& path, const Word2VecSource& source, bool binary, bool parallel = true);

}  // namespace tarnivel
