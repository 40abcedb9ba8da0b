// The native line corpus reader in small blocks, and the threaded chunk reader. How the reader splits
// words and lines and which error it reports are checked against Python itself in test_file_corpus.py,
// which reads in the default block; here blocks of one decoding step put the block boundaries inside
// characters, line ends and errors.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "corpus/file_corpus.hpp"
#include "corpus/line_reader.hpp"
#include "corpus/text.hpp"

namespace tarnivel::corpus {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

// Collects the words of every line.
struct Collector {
  Sentences lines{{}};
  void word(std::string_view w) { lines.back().emplace_back(w); }
  bool line() {
    lines.emplace_back();
    return true;
  }
  bool piece() { return line(); }
};

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

// Every line's words (empty lines dropped), then the outcome: "end" or the error's message and input size.
Sentences read_all(const std::string& data, std::size_t block) {
  LineReader reader(file_with(data), block);
  Collector c;
  LineReader::Status status;
  while ((status = reader.next()) == LineReader::Status::lines) {
    EXPECT_FALSE(reader.lines().empty());
    split_lines(reader.lines(), c);
  }
  EXPECT_EQ(reader.next(), status);  // the outcome stays
  Sentences out;
  for (const auto& line : c.lines) {
    if (!line.empty()) out.push_back(line);
  }
  if (status == LineReader::Status::decode_error) {
    out.push_back({reader.decode_error().message(), std::to_string(reader.decode_error().input.size())});
  } else {
    out.push_back({status == LineReader::Status::end ? "end" : "other"});
  }
  return out;
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(LineReader, OneStepBlocksReadLikeOneLargeBlock) {
  // A line of 30000 words over several steps, its CRLF split between two steps, then "\r" alone.
  std::string across = "w0";
  for (int i = 1; i < 30000; ++i) across += " w" + std::to_string(i % 7);
  across += "\r\n";
  across += std::string(8191 - across.size() % 8192, '.') + "\r\nnext\rtail";
  const std::string cases[] = {
      across,
      "",
      "\xef\xbb",
      "\xef\xbb\xbf\xef\xbb\xbfx y\r\nz",
      "ok\ncaf\xe9\n",
      repeat("a\n", 5000) + "\xff",
      "abc\n\xe2\x82",
      "\xef\xbb\xbf" "ab\n\xc3(",
      std::string(8190, 'x') + "\n\xc3\xa9z\x80",  // a character cut by the step boundary
      repeat("q\n", 4095) + "r\rs\xff",
      repeat("a\n", 4095) + "\xed\xa0" "b\n",
      std::string(8191, 'y') + "\xe2\x82(",
  };
  for (const std::string& data : cases) {
    const Sentences large = read_all(data, LineReader::kDefaultBlock);
    EXPECT_EQ(read_all(data, LineReader::kPythonStep), large) << data.substr(0, 40);
    EXPECT_NE(large.back()[0], "other");
  }
}

std::vector<std::vector<uint64_t>> sentences_of(const SentenceChunk& chunk) {
  std::vector<std::vector<uint64_t>> out;
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    chunk.with_sentence(i, [&](auto s) { out.emplace_back(s.begin(), s.end()); });
  }
  return out;
}

TEST(FileChunks, SentencesInOrderInChunksThenTheError) {
  KeyIndexMap vocab{{"a", 0}, {"b", 1}};
  const ByteLookup words(vocab);
  ChunkChannel channel(16);
  // Items [a b] [zz] [b] [a] [a a], then (in the second step, so that those lines are yielded) [b]
  // and an invalid byte.
  std::string data = "a b\nzz\nb\na\na a\n";
  while (data.size() < 8192) data += "\n";
  data += "b\n\xff";
  LineReader reader(file_with(data));
  const std::atomic<bool> cancel{false};
  EXPECT_EQ(read_chunks(reader, 0, words, 2, channel, cancel), LineReader::Status::decode_error);
  EXPECT_EQ(reader.decode_error().message(), "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
  channel.close_sender();
  std::vector<std::vector<uint64_t>> got;
  std::vector<std::size_t> sizes;
  for (SentenceChunk chunk; channel.receive(chunk, std::chrono::milliseconds(0)) == ChunkChannel::Status::chunk;) {
    EXPECT_TRUE(chunk.narrow);
    sizes.push_back(chunk.size());
    for (auto& sentence : sentences_of(chunk)) got.push_back(sentence);
  }
  EXPECT_EQ(got, (std::vector<std::vector<uint64_t>>{{0, 1}, {1}, {0}, {0, 0}}));
  // Two items per chunk, the unknown-only [zz] counting as one: [a b] | [b a] | [a a].
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 1}));
}

}  // namespace
}  // namespace tarnivel::corpus
