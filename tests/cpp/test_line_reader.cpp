// The native line corpus reader: UTF-8 checking, str.split() whitespace, line ends, pieces, the
// errors as Python reports them, and the threaded chunk reader.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corpus/file_corpus.hpp"
#include "corpus/line_reader.hpp"
#include "corpus/text.hpp"

namespace tarnivel::corpus {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

// Collects the words of every line or piece (the last entry is the one still open).
struct Collector {
  Sentences items{{}};
  void word(std::string_view w) { items.back().emplace_back(w); }
  bool line() {
    items.emplace_back();
    return true;
  }
  bool piece() { return line(); }
  Sentences done() const { return Sentences(items.begin(), items.end() - 1); }
  Sentences nonempty() const {
    Sentences out;
    std::copy_if(items.begin(), items.end(), std::back_inserter(out), [](const auto& l) { return !l.empty(); });
    return out;
  }
};

Sentences split(const std::string& text) {
  Collector c;
  split_lines(text, c);
  return c.nonempty();
}

// A temporary file with `data`, opened for reading; removed at once (the descriptor keeps it).
int file_with(const std::string& data) {
  char name[] = "/tmp/line_reader_test_XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  unlink(name);
  lseek(fd, 0, SEEK_SET);
  return fd;
}

struct ReadResult {
  Sentences lines;
  LineReader::Status status;
  std::string message;
  std::size_t input_size = 0;
};

ReadResult read_all(const std::string& data, std::size_t block = LineReader::kPythonStep) {
  LineReader reader(file_with(data), block);
  Collector c;
  ReadResult r;
  for (;;) {
    r.status = reader.next();
    if (r.status != LineReader::Status::lines) break;
    EXPECT_FALSE(reader.lines().empty());
    split_lines(reader.lines(), c);
  }
  r.lines = c.nonempty();
  if (r.status == LineReader::Status::decode_error) {
    r.message = reader.decode_error().message();
    r.input_size = reader.decode_error().input.size();
  }
  EXPECT_EQ(reader.next(), r.status);  // the outcome stays
  return r;
}

TEST(Utf8Check, AgreesWithPythonsStrictDecoder) {
  struct Case {
    std::string bytes;
    std::size_t valid;
    int kind;
  };
  const Case cases[] = {
      {"plain ascii text, longer than eight", 35, 0},
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x99\x82", 14, 0},
      {"abcdefghijklm\xff", 13, 1},
      {"\x80", 0, 1},            // a lone continuation byte
      {"\xc0\x80", 0, 1},        // overlong NUL
      {"\xc1\xbf", 0, 1},
      {"\xf5\x80\x80\x80", 0, 1},  // beyond U+10FFFF by its first byte
      {"\xc3(", 0, 2},
      {"\xe2\x82(", 0, 3},
      {"\xe0\x9f\x80", 0, 2},      // overlong three-byte form
      {"\xed\xa0\x80", 0, 2},      // a surrogate
      {"\xed\x9f\xbf", 3, 0},      // U+D7FF, the last before the surrogates
      {"\xf0\x8f\xbf\xbf", 0, 2},  // overlong four-byte form
      {"\xf4\x90\x80\x80", 0, 2},  // U+110000
      {"\xf4\x8f\xbf\xbf", 4, 0},  // U+10FFFF
      {"\xf0\x9f\x99(", 0, 4},
      {"ab\xe2\x82", 2, 0},        // cut off by the end: the caller decides
      {"\xf0\x9f", 0, 0},
      {"\xed\xa0", 0, 2},          // cut off, but already no character
  };
  for (const Case& c : cases) {
    const Utf8Check r = check_utf8(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(r.valid, c.valid) << c.bytes;
    EXPECT_EQ(r.kind, c.kind) << c.bytes;
  }
}

TEST(SplitLines, WhitespaceAndLineEndsOfStrSplitAndUniversalNewlines) {
  struct Case {
    std::string text;
    Sentences expected;
  };
  const Case cases[] = {
      {"a b\nc\r\nd\re", {{"a", "b"}, {"c"}, {"d"}, {"e"}}},
      {"  lead  and trail  \n\n\t\n", {{"lead", "and", "trail"}}},
      // Unicode whitespace splits words but ends no line: NBSP, ideographic space, U+2028, NEL,
      // U+1680, U+2000, U+200A, U+202F, U+205F, \v, \f, \x1c-\x1f.
      {"a\xc2\xa0" "b\xe3\x80\x80" "c\xe2\x80\xa8" "d\xc2\x85" "e", {{"a", "b", "c", "d", "e"}}},
      {"a\xe1\x9a\x80" "b\xe2\x80\x80" "c\xe2\x80\x8a" "d\xe2\x80\xaf" "e\xe2\x81\x9f" "f", {{"a", "b", "c", "d", "e", "f"}}},
      {"a\vb\fc\x1c" "d\x1d" "e\x1e" "f\x1fg\xe2\x80\xa9h", {{"a", "b", "c", "d", "e", "f", "g", "h"}}},
      // Not whitespace: zero-width space, U+180E, a BOM inside the text, NUL and other controls,
      // characters that share first bytes with whitespace.
      {"a\xe2\x80\x8b" "b \xe1\xa0\x8e" "c \xef\xbb\xbf" "d", {{"a\xe2\x80\x8b" "b", "\xe1\xa0\x8e" "c", "\xef\xbb\xbf" "d"}}},
      {std::string("x\0y \x01z\x7f", 7), {{std::string("x\0y", 3), "\x01z\x7f"}}},
      {"\xc2\xa9\xc2\xa0\xe2\x82\xac \xe2\x80\x99s \xe3\x81\x82", {{"\xc2\xa9", "\xe2\x82\xac", "\xe2\x80\x99s", "\xe3\x81\x82"}}},
      // Words longer than eight bytes, with non-ASCII characters inside and at the end.
      {"abcdefghijklmnopqrstuvwxyz caf\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 0123456789\xf0\x9f\x99\x82\n",
       {{"abcdefghijklmnopqrstuvwxyz", "caf\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", "0123456789\xf0\x9f\x99\x82"}}},
      {"", {}},
      {"\r\n\r\n", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(split(c.text), c.expected) << c.text;
}

TEST(SplitLines, PiecesOfAtMostMaxWords) {
  struct Case {
    std::string text;
    uint64_t max_words;
    Sentences expected;
  };
  const Case cases[] = {
      {"1 2 3 4 5 6 7\n8 9\n", 3, {{"1", "2", "3"}, {"4", "5", "6"}, {"7"}, {"8", "9"}}},
      {"1 2 3 4 5 6\n", 3, {{"1", "2", "3"}, {"4", "5", "6"}}},
      {"1 2 3\n\n4", 1, {{"1"}, {"2"}, {"3"}, {"4"}}},
      {"1 2 3 4 5 6 7", 0, {{"1", "2", "3", "4", "5", "6", "7"}}},
  };
  for (const Case& c : cases) {
    Collector out;
    Pieces<Collector> pieces(out, c.max_words);
    split_lines(c.text, pieces);
    EXPECT_EQ(out.done(), c.expected) << c.text << " / " << c.max_words;
  }
}

// Expected lines and messages were taken from Python 3 iterating LineSentence over the same bytes.
TEST(LineReader, ErrorsAndLinesAsPythonReadsTheFile) {
  struct Case {
    const char* name;
    std::string data;
    std::size_t lines;
    std::string last_line_word;
    std::string message;
    std::size_t input_size;
  };
  const std::string long_x(8190, 'x');
  const Case cases[] = {
      {"first step", "ok\ncaf\xe9\n", 0, "", "'utf-8' codec can't decode byte 0xe9 in position 6: invalid continuation byte", 8},
      {"second step", [] { std::string s; for (int i = 0; i < 5000; ++i) s += "a\n"; return s + "\xff"; }(), 4096, "a",
       "'utf-8' codec can't decode byte 0xff in position 1808: invalid start byte", 1809},
      {"cut off at the end", "abc\n\xe2\x82", 1, "abc", "'utf-8' codec can't decode bytes in position 0-1: unexpected end of data", 2},
      {"after a byte-order mark", "\xef\xbb\xbf" "ab\n\xc3(", 0, "", "'utf-8' codec can't decode byte 0xc3 in position 3: invalid continuation byte", 5},
      {"carried character", long_x + "\n\xc3\xa9z\x80", 1, long_x, "'utf-8' codec can't decode byte 0x80 in position 3: invalid start byte", 4},
      {"\\r at the end of a step", [] { std::string s; for (int i = 0; i < 4095; ++i) s += "q\n"; return s + "r\rs\xff"; }(), 4095, "q",
       "'utf-8' codec can't decode byte 0xff in position 1: invalid start byte", 2},
      {"surrogate start at the end of a step", [] { std::string s; for (int i = 0; i < 4095; ++i) s += "a\n"; return s + "\xed\xa0" "b\n"; }(), 4095, "a",
       "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte", 4},
      {"bad character across steps", std::string(8191, 'y') + "\xe2\x82(", 0, "", "'utf-8' codec can't decode bytes in position 0-1: invalid continuation byte", 3},
  };
  for (const Case& c : cases) {
    for (const std::size_t block : {LineReader::kPythonStep, LineReader::kDefaultBlock}) {
      const ReadResult r = read_all(c.data, block);
      EXPECT_EQ(r.status, LineReader::Status::decode_error) << c.name;
      EXPECT_EQ(r.lines.size(), c.lines) << c.name << " block " << block;
      if (c.lines != 0 && !r.lines.empty()) {
        EXPECT_EQ(r.lines.back(), std::vector<std::string>{c.last_line_word}) << c.name;
      }
      EXPECT_EQ(r.message, c.message) << c.name;
      EXPECT_EQ(r.input_size, c.input_size) << c.name;
    }
  }
}

TEST(LineReader, ValidFilesWholeLinesAndTheByteOrderMark) {
  // A line of 30000 words spanning several 8 KiB blocks, CRLF split between blocks, "\r" alone.
  std::vector<std::string> words{"w0"};
  std::string across = "w0";
  for (int i = 1; i < 30000; ++i) {
    words.push_back("w" + std::to_string(i % 7));
    across += " " + words.back();
  }
  across += "\r\n";
  const std::string dots(8191 - across.size() % 8192, '.');
  across += dots;
  const struct {
    std::string data;
    Sentences expected;
  } cases[] = {
      {"", {}},
      {"\xef\xbb", {}},  // Python reads an unfinished mark as nothing, without an error
      {"\xef", {}},
      {"\xef\xbb\xbf", {}},
      {"ab", {{"ab"}}},
      {"\xef\xbb\xbf\xef\xbb\xbfx y\r\nz", {{"\xef\xbb\xbfx", "y"}, {"z"}}},  // only the first mark goes
      {"last line\nwithout end", {{"last", "line"}, {"without", "end"}}},
      {across + "\r\nnext\rtail", {words, {dots}, {"next"}, {"tail"}}},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_all(c.data);
    EXPECT_EQ(r.status, LineReader::Status::end) << c.data.substr(0, 40);
    EXPECT_EQ(r.lines, c.expected) << c.data.substr(0, 40);
  }
  // Reading a directory is an OS error.
  LineReader reader(open("/tmp", O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(reader.next(), LineReader::Status::os_error);
  EXPECT_EQ(reader.os_error(), EISDIR);
}

TEST(SentenceBatch, KnownWordsInPiecesAndEmptyPiecesDropped) {
  KeyIndexMap vocab{{"a", 0}, {"b", 1}, {"caf\xc3\xa9", 2}};
  const ByteLookup words(vocab);
  SentenceBatch batch;
  batch.convert("a x b a\nx y\nb caf\xc3\xa9 a b\n", 2, words);
  // Pieces: [a x] [b a] / [x y] / [b café] [a b]; [x y] has no known word.
  ASSERT_EQ(batch.size(), 4u);
  const std::vector<std::vector<uint64_t>> expected{{0}, {1, 0}, {1, 2}, {0, 1}};
  for (std::size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(std::vector<uint64_t>(batch[i].begin(), batch[i].end()), expected[i]);
  }
}

std::vector<std::vector<uint64_t>> sentences_of(const SentenceChunk& chunk) {
  std::vector<std::vector<uint64_t>> out;
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    chunk.with_sentence(i, [&](auto s) { out.emplace_back(s.begin(), s.end()); });
  }
  return out;
}

TEST(FileChunkReaderThread, SendsSentencesInOrderInChunksThenTheError) {
  KeyIndexMap vocab{{"a", 0}, {"b", 1}};
  const ByteLookup words(vocab);
  auto channel = std::make_shared<ChunkChannel>(2);
  // Items: [a b] [zz] [b] [a] [a a] then an invalid byte in the first step: no line is yielded
  // before it... so the text is put in a second step.
  std::string data = "a b\nzz\nb\na\na a\n";
  while (data.size() < 8192) data += "\n";
  data += "b\n\xff";
  FileChunkReader reader(std::make_unique<LineReader>(file_with(data)), 0, words, 2, channel);
  std::vector<std::vector<uint64_t>> got;
  std::vector<std::size_t> sizes;
  for (;;) {
    SentenceChunk chunk;
    const auto status = channel->receive(chunk, std::chrono::milliseconds(2000));
    if (status == ChunkChannel::Status::disconnected) break;
    ASSERT_EQ(status, ChunkChannel::Status::chunk);
    EXPECT_TRUE(chunk.narrow);
    sizes.push_back(chunk.size());
    for (auto& s : sentences_of(chunk)) got.push_back(s);
  }
  reader.join();
  const std::vector<std::vector<uint64_t>> expected{{0, 1}, {1}, {0}, {0, 0}};
  EXPECT_EQ(got, expected);
  // Two items per chunk, the unknown-only [zz] counting as one: [a b] | [b a] | [a a].
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 1}));
  EXPECT_EQ(reader.status(), LineReader::Status::decode_error);
  EXPECT_EQ(reader.reader().decode_error().message(),
            "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
}

TEST(FileChunkReaderThread, JoinStopsAReaderBlockedOnAFullChannel) {
  KeyIndexMap vocab{{"a", 0}};
  const ByteLookup words(vocab);
  auto channel = std::make_shared<ChunkChannel>(1);
  std::string data;
  for (int i = 0; i < 100000; ++i) data += "a a a\n";
  FileChunkReader reader(std::make_unique<LineReader>(file_with(data)), 0, words, 1, channel);
  SentenceChunk first;
  ASSERT_EQ(channel->receive(first, std::chrono::milliseconds(2000)), ChunkChannel::Status::chunk);
  reader.join();  // the reader is blocked on the full channel; joining must not hang
  EXPECT_EQ(reader.status(), LineReader::Status::end);
  EXPECT_TRUE(reader.failure().empty());
}

}  // namespace
}  // namespace tarnivel::corpus
