// NPY files and the save sequence of a file pair, observed through the system calls it makes: core_tests
// is linked with --wrap=fsync,--wrap=rename,--wrap=link, so these tests see every sync, rename and link
// of the core in order and can make one of them fail.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "io/npy.hpp"
#include "io/pair_file.hpp"
#include "kv/word2vec_format.hpp"

namespace {

// What the wrapped calls do while a test records: every call is logged, and a rename to `fail_to`
// (or a rename from `fail_from`) or any link fails with the given errno.
struct Calls {
  bool recording = false;
  std::vector<std::string> log;
  std::string fail_rename_to, fail_rename_from;
  int rename_errno = 0, link_errno = 0;
};
Calls calls;

std::string fd_path(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? "?" : std::string(target, static_cast<std::size_t>(n));
}

}  // namespace

extern "C" {
int __real_fsync(int fd);
int __real_rename(const char* from, const char* to);
int __real_link(const char* from, const char* to);

int __wrap_fsync(int fd) {
  if (calls.recording) calls.log.push_back("fsync " + fd_path(fd));
  return __real_fsync(fd);
}

// Logs a rename or link while recording; true (with errno set) when the test makes it fail.
static bool fails(const char* what, const char* from, const char* to, int err) {
  if (!calls.recording) return false;
  calls.log.push_back(std::string(what) + " " + from + " > " + to);
  errno = err;
  return err != 0;
}

int __wrap_rename(const char* from, const char* to) {
  const bool chosen = calls.fail_rename_to == to || calls.fail_rename_from == from;
  return fails("rename", from, to, chosen ? calls.rename_errno : 0) ? -1 : __real_rename(from, to);
}

int __wrap_link(const char* from, const char* to) {
  return fails("link", from, to, calls.link_errno) ? -1 : __real_link(from, to);
}
}

namespace tarnivel {
namespace {

namespace fs = std::filesystem;

// The message of the ValueError that `f` throws, or "no error".
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const ValueError& e) {
    return e.what();
  }
  return "no error";
}

class Saving : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    dir_ = fs::temp_directory_path() / ("tarnivel_save_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::create_directories(dir_);
    dir_ = fs::canonical(dir_);  // /proc/self/fd names are canonical
    calls = Calls{};
  }
  void TearDown() override {
    calls = Calls{};
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void put(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Saves `json` with a 1 x n matrix of `value`s under the prefix "p", recording the calls.
  void save(const std::string& json, std::size_t n, float value) {
    const std::vector<float> data(n, value);
    calls.recording = true;
    struct Stop {
      ~Stop() { calls.recording = false; }
    } stop;
    save_pair_files(PairNames(path("p")), json, [&](const std::string& tmp, bool& created) {
      write_matrix_temp(tmp, PairNames(path("p")).matrix, 1, n, data, created);
    });
  }

  static std::size_t position(const std::vector<std::string>& log, const std::string& entry) {
    const auto at = std::find(log.begin(), log.end(), entry);
    return static_cast<std::size_t>(at - log.begin());
  }

  fs::path dir_;
};

TEST_F(Saving, SyncsEachFileBeforeItsRenameAndTheDirectoryAfter) {
  // Longer leftovers (an earlier crash) are replaced exactly, and so are links planted at the temporary
  // names: the file outside the directory that they reach is never written. Replaced files keep their modes.
  const PairNames n(path("p"));
  const std::string outside = dir_.string() + ".outside", junk(100000, 'j');
  for (const std::string* name : {&outside, &n.vocab, &n.matrix, &n.vocab_backup}) put(*name, junk);
  fs::create_symlink(outside, n.vocab_tmp);
  fs::create_hard_link(outside, n.matrix_tmp);
  fs::permissions(n.vocab, fs::perms(0600));
  fs::permissions(n.matrix, fs::perms(0640));
  save("[\"new\"]", 3, 2.0f);
  const std::vector<std::string>& log = calls.log;
  const std::size_t order[] = {position(log, "fsync " + n.vocab_tmp), position(log, "fsync " + n.matrix_tmp),
                               position(log, "link " + n.vocab + " > " + n.vocab_backup),
                               position(log, "rename " + n.vocab_tmp + " > " + n.vocab),
                               position(log, "rename " + n.matrix_tmp + " > " + n.matrix),
                               position(log, "fsync " + dir_.string())};
  ASSERT_LT(order[5], log.size()) << ::testing::PrintToString(log);
  for (int i = 0; i < 5; ++i) EXPECT_LT(order[i], order[i + 1]) << i << ::testing::PrintToString(log);
  EXPECT_EQ(slurp(n.vocab), "[\"new\"]");
  EXPECT_EQ(slurp(n.matrix).size(), 80u + 12u);  // the 57-character dictionary of 1 x 3 pads to 80 bytes
  EXPECT_EQ(read_header(n.matrix), (std::pair<uint64_t, uint64_t>{1, 3}));
  EXPECT_EQ(listing(), (std::vector<std::string>{"p.npy", "p.vocab.json"}));
  EXPECT_EQ(slurp(outside), junk);
  EXPECT_EQ(fs::status(n.vocab).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(n.matrix).permissions(), fs::perms(0640));

  // A word2vec file: synced under its temporary name, then renamed over the vocabulary (keeping its mode).
  const std::vector<std::string> words{"a"};
  const float row[1] = {1.5f};
  calls = Calls{true};
  write_word2vec(n.vocab, Word2VecSource{&words, row, 1, {}, 1}, false, false);
  calls.recording = false;
  ASSERT_EQ(calls.log.size(), 2u) << ::testing::PrintToString(calls.log);
  EXPECT_EQ(calls.log[1], "rename " + calls.log[0].substr(6) + " > " + n.vocab);  // after "fsync {tmp}"
  EXPECT_EQ(fs::status(n.vocab).permissions(), fs::perms(0600));
  fs::remove(outside);
}

struct Failure {
  const char* name;
  bool first_save;     // no pair before
  bool vocab_rename;   // fail the first rename instead of the second
  int link_errno;      // links refused: the backup is a copy
  bool restore_fails;  // putting the previous vocabulary back fails too
};

class FailedSave : public Saving, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedSave, LeavesThePreviousPairAndNoTemporaryFiles) {
  const Failure f = GetParam();
  const PairNames n(path("p"));
  if (!f.first_save) save("[\"old\"]", 2, 1.0f);
  const std::string old_matrix = f.first_save ? "" : slurp(n.matrix);
  calls.rename_errno = EBUSY;
  calls.fail_rename_to = f.vocab_rename ? n.vocab : n.matrix;
  calls.fail_rename_from = f.restore_fails ? n.vocab_backup : "";
  calls.link_errno = f.link_errno;
  const std::string busy = ": Device or resource busy (os error 16)";
  EXPECT_EQ(error_of([&] { save("[\"new\"]", 2, 2.0f); }),
            "failed to finalize " + (f.vocab_rename ? n.vocab : n.matrix) + busy +
                (f.restore_fails ? "; restoring the previous vocabulary failed too" + busy + " (it is kept as " +
                                       n.vocab_backup + ")"
                                 : ""));
  if (f.restore_fails) {
    EXPECT_EQ(slurp(n.vocab_backup), "[\"old\"]");
    EXPECT_FALSE(fs::exists(n.matrix_tmp));
  } else if (f.first_save) {
    EXPECT_TRUE(listing().empty()) << ::testing::PrintToString(listing());
  } else {
    EXPECT_EQ(slurp(n.vocab), "[\"old\"]");
    EXPECT_EQ(slurp(n.matrix), old_matrix);
    EXPECT_EQ(listing(), (std::vector<std::string>{"p.npy", "p.vocab.json"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedSave,
                         ::testing::Values(Failure{"MatrixRename", false, false, 0, false},
                                           Failure{"MatrixRenameLinksRefused", false, false, EPERM, false},
                                           Failure{"MatrixRenameFirstSave", true, false, 0, false},
                                           Failure{"VocabRename", false, true, 0, false},
                                           Failure{"VocabRenameFirstSave", true, true, 0, false},
                                           Failure{"MatrixRenameAndRestore", false, false, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });


class Npy : public Saving {
 protected:
  // A file holding exactly `bytes`.
  std::string raw(const std::string& bytes) {
    const std::string p = path("h" + std::to_string(files_++) + ".npy");
    put(p, bytes);
    return p;
  }
  // A file with a hand-made header: magic, the given version, HEADER_LEN, then the text.
  std::string with_header(const std::string& text, uint8_t major = 1, uint8_t minor = 0) {
    const char len[] = {static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)};
    return raw("\x93NUMPY" + std::string{static_cast<char>(major), static_cast<char>(minor)} + std::string(len, 2) + text);
  }
  // "ROWSxCOLS", or the error's message.
  static std::string outcome(const std::string& p) {
    std::string shape;
    const std::string error = error_of([&] {
      const auto [rows, cols] = read_header(p);
      shape = std::to_string(rows) + "x" + std::to_string(cols);
    });
    return shape.empty() ? error : shape;
  }
  static std::size_t offset(const std::string& b) {
    return data_offset(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(b.data()), b.size()));
  }
  int files_ = 0;
};

TEST_F(Npy, WrittenLayout) {
  const std::string dict = npy_header_dict(3, 4), p = path("m.npy");
  EXPECT_EQ(dict, "{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4)}");
  std::vector<float> data(12);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i) * 0.5f - 1.0f;
  write_matrix(p, 3, 4, data);
  const std::string bytes = slurp(p);
  EXPECT_EQ(bytes.substr(0, 80), std::string("\x93NUMPY\x01\x00\x46\x00", 10) + dict + std::string(12, ' ') + "\n");
  ASSERT_EQ(bytes.size(), 80u + 48u);
  EXPECT_EQ(std::memcmp(bytes.data() + 80, data.data(), 48), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::status(p).permissions(), fs::perms(0666 & ~mask));
  // Every shape puts the data at a multiple of 16 (large matrices are written from Python's tests).
  for (const auto& [rows, cols] : {std::pair<uint64_t, uint64_t>{3, 4}, {0, 0}, {1, 1}, {0, 99999}, {18446744073709551615ull, 0}}) {
    write_matrix(p, rows, cols, std::vector<float>(rows * cols, 2.0f));
    const std::string b = slurp(p);
    const std::size_t off = offset(b);
    EXPECT_EQ(off % 16, 0u) << rows << "x" << cols;
    EXPECT_EQ(off, 10u + (static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8));
    EXPECT_EQ(b[off - 1], '\n');
    EXPECT_EQ(b.size(), off + rows * cols * 4);
    EXPECT_EQ(read_header(p), (std::pair<uint64_t, uint64_t>{rows, cols}));
  }
}

TEST_F(Npy, WriteErrorsAreReported) {
  const auto error = [](const std::string& p, uint64_t rows, uint64_t cols, const std::vector<float>& data) {
    return error_of([&] { write_matrix(p, rows, cols, data); });
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

  EXPECT_EQ(outcome(with_header("{'shape': (3, 4)}", 1, 1)), "unsupported npy version");
  // HEADER_LEN (100) larger than the file.
  EXPECT_EQ(outcome(raw(std::string("\x93NUMPY\x01\x00\x64\x00", 10) + "{'shape': (3, 4)}")), "short npy header");
  EXPECT_EQ(outcome(raw(std::string("\x93NUMPY\x01\x00\x05", 9))), "invalid npy magic");
  EXPECT_EQ(outcome(raw("just some text, not an array")), "invalid npy magic");
  EXPECT_EQ(outcome(dir_.string()), "invalid npy magic");  // reading a directory fails: n = 0
}

}  // namespace
}  // namespace tarnivel
