// Whole training calls through the core driver, without an interpreter: the sequential result that
// the Python suite pins too, threaded calls in both locking modes (suite names match *Driver*, run
// under ThreadSanitizer), stops, failing sources, file passes and the reporter's pace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corpus/file_source.hpp"
#include "rng/seed.hpp"
#include "training/driver.hpp"
#include "training/progress.hpp"
#include "training/row_copies.hpp"

namespace tarnivel {
namespace {

// A temporary file holding `text`, removed with the object.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/tarnivel_driver_XXXXXX";
    const int fd = mkstemp(name);
    path = name;
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
};

// The corpus the Python suite builds the same way (test_training.py), a sentence a line.
std::string formula_corpus() {
  std::string text;
  for (uint64_t i = 0; i < 200; ++i) {
    for (uint64_t j = 0; j < 5 + i % 7; ++j) text += "w" + std::to_string((i * i + 3 * j * j + i * j) % 37) + " ";
    text += "\n";
  }
  return text;
}

// A file source whose pass number `fail_pass` (0: the vocabulary pass) reads `broken` instead.
corpus::FileSource file_source(const TempFile& file, TrainObserver& observer, int fail_pass = -1,
                               const TempFile* broken = nullptr) {
  return corpus::FileSource(
      [&file, fail_pass, broken, pass = 0]() mutable {
        return corpus::open_file_pass(pass++ == fail_pass ? broken->path : file.path, 0);
      },
      nullptr, observer);
}

// FNV-1a over the bytes of the input vectors.
std::string checksum(const Model& m) {
  uint64_t h = 0xcbf29ce484222325ull;
  const auto* bytes = reinterpret_cast<const unsigned char*>(m.input_vectors.data());
  for (std::size_t i = 0; i < m.input_vectors.size() * sizeof(float); ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

Model small_model(uint64_t workers) {
  Model m;
  m.params.vector_size = 24;
  m.params.window = 3;
  m.params.min_count = 2;
  m.params.workers = workers;
  m.params.sg = true;
  m.params.levels = default_levels(24);
  return m;
}

CallOptions quiet_options(uint64_t epochs) {
  CallOptions o;
  o.epochs = epochs;
  o.verbose = false;
  o.switches = read_switches();
  return o;
}

TEST(Driver, SequentialResultMatchesThePythonPin) {
  set_seed(1234);
  Model m = small_model(1);
  const TempFile file(formula_corpus());
  TrainObserver observer;
  corpus::FileSource source = file_source(file, observer);
  train(m, source, observer, quiet_options(2));
  EXPECT_EQ(checksum(m), "8e2a8e1118ceb6a6");
}

// Threaded calls in both locking modes give the matrices back trained and finite; a stop (a
// failing interruption check, a file failing mid-epoch) ends the call with its error and the
// matrices still in the model.
TEST(DriverThreads, BothLockingModesStopsAndFailures) {
  struct Stopping : TrainObserver {
    int checks = 0, stop_at = -1;
    void check_interrupt() override {
      if (++checks == stop_at) throw std::runtime_error("stop requested");
    }
  };
  const std::string text = formula_corpus();
  const TempFile file(text), broken(text.substr(0, text.size() / 2) + "\xff\n" + text.substr(text.size() / 2));
  for (const bool locks : {true, false}) {
    for (const uint64_t workers : {uint64_t{1}, uint64_t{2}}) {
      for (const int failure : {0, 1, 2}) {  // none, a stop request, a file failing in the second epoch
        SCOPED_TRACE(testing::Message() << "locks " << locks << " workers " << workers << " failure " << failure);
        Model m = small_model(workers);
        Stopping observer;
        corpus::FileSource source = file_source(file, observer, failure == 2 ? 3 : -1, &broken);
        CallOptions options = quiet_options(3);
        options.switches.row_locks = locks;
        options.switches.chunk_size = 16;
        observer.stop_at = failure == 1 ? 5 : -1;
        try {
          train(m, source, observer, options);
          EXPECT_EQ(failure, 0);
        } catch (const std::runtime_error& e) {
          EXPECT_NE(std::string(e.what()).find(failure == 1 ? "stop requested" : "can't decode byte 0xff"),
                    std::string::npos) << e.what();
        }
        ASSERT_EQ(m.input_vectors.size(), m.vocab.size() * 24);
        ASSERT_EQ(m.output_vectors.size(), m.vocab.size() * 24);
        for (const float x : m.input_vectors) ASSERT_TRUE(std::isfinite(x));
      }
    }
  }
}

// A file of more than 65,536 distinct words reads into the same sentences, threaded (32-bit chunks)
// and sequential.
TEST(Driver, FileWithManyWordsReadsAlikeInBothModes) {
  std::string text;
  for (int i = 0; i < 70000; ++i) text += "w" + std::to_string(i) + (i % 10 == 9 ? "\n" : " ");
  const TempFile file(text);
  TrainObserver observer;
  corpus::FileSource source = file_source(file, observer);
  Model m;
  m.params.min_count = 1;
  m.params.vector_size = 1;
  source.vocabulary_pass(m);
  ASSERT_EQ(m.vocab.size(), 70000u);
  std::vector<uint64_t> sequential, threaded;
  auto stream = source.sentences(m.vocab);
  for (std::span<const uint64_t> s; stream->next(s);) sequential.insert(sequential.end(), s.begin(), s.end());
  ChunkChannel channel(1 << 20);
  std::atomic<bool> cancel{false};
  source.epoch_reader(m.vocab, 7)(channel, cancel);
  channel.close_sender();
  for (SentenceChunk c; channel.receive(c, std::chrono::milliseconds(0)) == ChunkChannel::Status::chunk;) {
    EXPECT_FALSE(c.narrow);
    for (std::size_t i = 0; i < c.size(); ++i) {
      c.with_sentence(i, [&](auto s) { threaded.insert(threaded.end(), s.begin(), s.end()); });
    }
  }
  EXPECT_EQ(sequential.size(), 70000u);
  EXPECT_EQ(threaded, sequential);
}

// The switches of a call, each from its variable, and the hot-row count bounded by the row width.
TEST(Driver, SwitchesFromTheEnvironment) {
  struct Row {
    const char *locks, *hot_rows, *pool;
    bool row_locks;
    std::size_t rows_of_100, rows_of_1000, pool_threads;
  } const table[] = {
      {nullptr, nullptr, nullptr, true, 1024, 131, 0}, {"0", "12", "3", false, 12, 12, 3},
      {"00", "0", "0", true, 0, 0, 0},                  {" 0", "x1", "x", true, 1024, 131, 0},
      {"false", "65537", "1025", true, 1024, 131, 0},   {"1", "4096", "1024", true, 1310, 131, 1024},
  };
  const auto put = [](const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); };
  for (const Row& r : table) {
    put("TARNIVEL_ROW_LOCKS", r.locks);
    put("TARNIVEL_UNLOCKED_HOT_ROWS", r.hot_rows);
    put("TARNIVEL_POOL_THREADS", r.pool);
    const Switches s = read_switches();
    EXPECT_EQ(s.row_locks, r.row_locks) << (r.locks ? r.locks : "unset");
    EXPECT_EQ(unlocked_hot_rows(s.unlocked_hot_rows, 100), r.rows_of_100) << (r.hot_rows ? r.hot_rows : "unset");
    EXPECT_EQ(unlocked_hot_rows(s.unlocked_hot_rows, 1000), r.rows_of_1000);
    EXPECT_EQ(s.pool_threads, r.pool_threads) << (r.pool ? r.pool : "unset");
  }
  for (const char* name : {"TARNIVEL_ROW_LOCKS", "TARNIVEL_UNLOCKED_HOT_ROWS", "TARNIVEL_POOL_THREADS"}) unsetenv(name);
}

// After its first report the reporter keeps its interval.
TEST(DriverThreads, ReporterKeepsItsInterval) {
  struct Counting : TrainObserver {
    std::atomic<int> lines{0};
    void log(const std::string&) override { ++lines; }
  } observer;
  ProgressPlan plan;
  plan.verbose = true;
  plan.interval = 0.2;
  std::atomic<uint64_t> counter{0};
  std::atomic<bool> stop{false};
  {
    Reporter reporter(plan, counter, stop, observer);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  }
  EXPECT_GE(observer.lines.load(), 1);
  EXPECT_LE(observer.lines.load(), 4);
}

}  // namespace
}  // namespace tarnivel
