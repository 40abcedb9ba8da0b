#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "io/npy.hpp"

namespace tarnivel {
namespace {

namespace fs = std::filesystem;

class Npy : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    dir_ = fs::temp_directory_path() /
           ("tarnivel_npy_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static std::vector<uint8_t> slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // A file holding exactly `bytes`.
  std::string raw(const std::string& bytes) {
    const std::string p = path("h" + std::to_string(files_++) + ".npy");
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  // A file with a hand-made header: magic, the given version, HEADER_LEN, then the text.
  std::string with_header(const std::string& text, uint8_t major = 1, uint8_t minor = 0) {
    const char len[] = {static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)};
    return raw("\x93NUMPY" + std::string{static_cast<char>(major), static_cast<char>(minor)} +
               std::string(len, 2) + text);
  }

  // "ROWSxCOLS", or the error's message.
  static std::string outcome(const std::string& p) {
    try {
      const auto [rows, cols] = read_header(p);
      return std::to_string(rows) + "x" + std::to_string(cols);
    } catch (const ValueError& e) {
      return e.what();
    }
  }

  fs::path dir_;
  int files_ = 0;
};

TEST_F(Npy, WrittenLayout) {
  const std::string dict = npy_header_dict(3, 4);
  EXPECT_EQ(dict, "{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4)}");
  EXPECT_EQ(dict.size(), 57u);

  std::vector<float> data(12);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i) * 0.5f - 1.0f;
  const std::string p = path("m.npy");
  write_matrix(p, 3, 4, data);
  const std::vector<uint8_t> bytes = slurp(p);
  ASSERT_EQ(bytes.size(), 80u + 48u);
  EXPECT_EQ(data_offset(bytes), 80u);
  EXPECT_EQ(bytes[8] | bytes[9] << 8, 70);
  EXPECT_EQ(std::string(bytes.begin() + 10, bytes.begin() + 80), dict + std::string(12, ' ') + "\n");
  EXPECT_EQ(std::memcmp(bytes.data() + 80, data.data(), 48), 0);
  EXPECT_EQ(read_header(p), (std::pair<uint64_t, uint64_t>{3, 4}));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

  // Every shape puts the data at a multiple of 16 (large matrices are written from Python's tests).
  for (const auto& [rows, cols] : {std::pair<uint64_t, uint64_t>{0, 0}, {1, 1}, {0, 99999}, {18446744073709551615ull, 0}}) {
    write_matrix(p, rows, cols, std::vector<float>(rows * cols, 2.0f));
    const std::vector<uint8_t> b = slurp(p);
    const std::size_t off = data_offset(b);
    EXPECT_EQ(off % 16, 0u) << rows << "x" << cols;
    EXPECT_EQ(off, 10u + (b[8] | b[9] << 8));
    EXPECT_EQ(b[off - 1], '\n');
    EXPECT_EQ(b.size(), off + rows * cols * 4);
    EXPECT_EQ(read_header(p), (std::pair<uint64_t, uint64_t>{rows, cols}));
  }
}

TEST_F(Npy, WriteErrorsAreReported) {
  const auto error = [](const std::string& p, uint64_t rows, uint64_t cols, const std::vector<float>& data) {
    try {
      write_matrix(p, rows, cols, data);
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error(path("missing/dir/m.npy"), 0, 0, {}),
            "failed to create " + path("missing/dir/m.npy") + ": No such file or directory (os error 2)");
  EXPECT_NE(error("/dev/full", 1, 1, {1.0f}), "no error");
  EXPECT_NE(error("/dev/full", 0, 0, {}), "no error");
  EXPECT_EQ(error(path("m.npy"), 2, 2, {1.0f}), "npy write: data size mismatch");
}

// Headers as NumPy and hand editors write them; only the dictionary's own 'shape' counts (not one in
// a comment, a string, a nested dictionary or after the closing brace; a later key wins, as in Python).
TEST_F(Npy, TolerantHeaderReading) {
  const struct {
    std::string header, outcome;
  } cases[] = {
      {"{'descr': '<f4', 'shape': (3, 4, 5), }\n", "3x4"},
      {"{'descr': '<f4', 'shape': ( 3 , 4 , ), }\n", "3x4"},
      {"{'descr': '<f4', 'shape': (+3,\t+4), }\n", "3x4"},
      {"{'descr': '<f4', 'shape': (18446744073709551615, 0), }\n", "18446744073709551615x0"},
      {"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }" + std::string(14, ' ') + "\n", "2x3"},
      {"{'shape': (3, 4), 'n': '\xc3\xa9'}", "3x4"},
      {"{'descr': '<f4', # 'shape': (2, 18446744073709551615)\n 'shape': (2, 3), }\n", "2x3"},
      {"# shape (9, 9)\n{'shape': (2, 3)}", "2x3"},
      {"{'descr': 'shape (9, 9)', 'shape': (2, 3)}", "2x3"},
      {"{\"shape\": (2, 3)}", "2x3"},
      {"{'shape': (2, # rows (9\n 3)}", "2x3"},
      {"{'shape': (1, 1), 'shape': (2, 3)}", "2x3"},
      {"{'shaped': (2, 3)}", "no shape in header"},
      {"{'descr': '<f4'} 'shape': (2, 3)", "no shape in header"},
      {"shape: (2, 3)", "no shape in header"},
      {"{# 'shape': (2, 3)\n}", "no shape in header"},
      {"{'a': {'shape': (2, 3)}}", "no shape in header"},
      {"{'descr': '<f4'}", "no shape in header"},
      {"{'shape': (3,)}", "shape expects 2 dims"},
      {"{'shape': (, 3, )}", "shape expects 2 dims"},
      {"{'shape': (a, 3)}", "bad rows"},
      {"{'shape': (-3, 3)}", "bad rows"},
      {"{'shape': (++3, 3)}", "bad rows"},
      {"{'shape': (18446744073709551616, 3)}", "bad rows"},
      {"{'shape': (3, 3L)}", "bad cols"},
      {"{'shape': (3, + )}", "bad cols"},
      {"{'shape': [3, 4]}", "bad shape"},
      {"{'shape': (3, 4", "bad shape"},
      {"{'shape': (3, 4)} \xff", "invalid header"},
      {"{'shape': (3, 4)} \xed\xa0\x80", "invalid header"},  // a surrogate
      // HEADER_LEN 503 runs past the 512 bytes read; 502 just fits.
      {"{'shape': (3, 4)}" + std::string(502 - 18, ' ') + "\n", "3x4"},
      {"{'shape': (3, 4)}" + std::string(502 - 18, ' ') + "\n ", "short npy header"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(with_header(c.header)), c.outcome) << c.header;

  EXPECT_EQ(outcome(with_header("{'shape': (3, 4)}", 2, 0)), "unsupported npy version");
  EXPECT_EQ(outcome(with_header("{'shape': (3, 4)}", 1, 1)), "unsupported npy version");
  // HEADER_LEN (100) larger than the file.
  EXPECT_EQ(outcome(raw(std::string("\x93NUMPY\x01\x00\x64\x00", 10) + "{'shape': (3, 4)}")), "short npy header");
  EXPECT_EQ(outcome(raw(std::string("\x93NUMPY\x01\x00\x05", 9))), "invalid npy magic");
  EXPECT_EQ(outcome(raw("just some text, not an array")), "invalid npy magic");
  EXPECT_EQ(outcome(dir_.string()), "invalid npy magic");  // reading a directory fails: n = 0
  EXPECT_EQ(outcome(path("absent.npy")), "failed to open " + path("absent.npy") + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tarnivel
