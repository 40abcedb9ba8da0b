// Whole training calls through the core driver, without an interpreter: the sequential result that
// the Python suite pins too, threaded calls in both locking modes (suite names match *Driver*, run
// under ThreadSanitizer), stops, failing sources, file passes and the reporter's pace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corpus/file_source.hpp"
#include "model/vocab.hpp"
#include "rng/seed.hpp"
#include "training/driver.hpp"
#include "training/progress.hpp"
#include "training/row_copies.hpp"

namespace tarnivel {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

// The corpus the Python suite builds the same way (test_training.py, formula_corpus).
Sentences formula_corpus() {
  Sentences corpus(200);
  for (uint64_t i = 0; i < corpus.size(); ++i) {
    for (uint64_t j = 0; j < 5 + i % 7; ++j) corpus[i].push_back("w" + std::to_string((i * i + 3 * j * j + i * j) % 37));
  }
  return corpus;
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

// A corpus held in memory; `fail_at` makes the given sentence of the given epoch's pass throw.
class VectorSource final : public CorpusSource {
 public:
  explicit VectorSource(Sentences s) : sentences_(std::move(s)) {}
  int fail_pass = -1;
  std::size_t fail_at = 0;

  void vocabulary_pass(Model& model) override {
    ++passes_;
    WordCounter counter;
    for (const auto& s : sentences_) {
      for (const auto& w : s) counter.add(w);
    }
    build_vocab(model, counter);
  }
  uint64_t token_pass(const Vocab& vocab) override {
    ++passes_;
    uint64_t n = 0;
    for (const auto& s : indices(vocab)) n += s.size();
    return n;
  }
  std::unique_ptr<SentenceStream> sentences(const Vocab& vocab) override {
    struct Stream : SentenceStream {
      std::vector<std::vector<uint64_t>> all;
      std::size_t at = 0, fail = SIZE_MAX;
      bool next(std::span<const uint64_t>& s) override {
        if (at == fail) throw std::runtime_error("corpus failed");
        if (at == all.size()) return false;
        s = all[at++];
        return true;
      }
    };
    auto stream = std::make_unique<Stream>();
    stream->all = indices(vocab);
    if (passes_++ == fail_pass) stream->fail = fail_at;
    return stream;
  }
  EpochRead epoch_reader(const Vocab& vocab, uint64_t chunk_size) override {
    const std::size_t fail = passes_++ == fail_pass ? fail_at : SIZE_MAX;
    return [all = indices(vocab), chunk_size, fail](ChunkChannel& channel, const std::atomic<bool>& cancel) {
      SentenceChunk chunk(true);
      for (std::size_t i = 0; i < all.size() && !cancel.load(); ++i) {
        if (i == fail) throw std::runtime_error("corpus failed");
        chunk.push_back(all[i]);
        if (chunk.size() == chunk_size) {
          if (!channel.send(std::move(chunk))) return;
          chunk = SentenceChunk(true);
        }
      }
      if (!chunk.empty()) channel.send(std::move(chunk));
    };
  }

 private:
  std::vector<std::vector<uint64_t>> indices(const Vocab& vocab) const {
    std::vector<std::vector<uint64_t>> out;
    for (const auto& s : sentences_) {
      std::vector<uint64_t> known;
      for (const auto& w : s) {
        if (auto it = vocab.key_to_index.find(w); it != vocab.key_to_index.end()) known.push_back(it->second);
      }
      if (!known.empty()) out.push_back(std::move(known));
    }
    return out;
  }
  Sentences sentences_;
  int passes_ = 0;
};

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
  VectorSource source(formula_corpus());
  TrainObserver observer;
  train(m, source, observer, quiet_options(2));
  EXPECT_EQ(checksum(m), "8e2a8e1118ceb6a6");
}

// Threaded calls in both locking modes give the matrices back trained and finite; a stop (a
// failing interruption check, a source failing mid-epoch) ends the call with its error and the
// matrices still in the model.
TEST(DriverThreads, BothLockingModesStopsAndFailures) {
  struct Stopping : TrainObserver {
    int checks = 0, stop_at = -1;
    void check_interrupt() override {
      if (++checks == stop_at) throw std::runtime_error("stop requested");
    }
  };
  for (const bool locks : {true, false}) {
    for (const uint64_t workers : {uint64_t{1}, uint64_t{2}}) {
      for (const int failure : {0, 1, 2}) {  // none, a stop request, a failing source
        SCOPED_TRACE(testing::Message() << "locks " << locks << " workers " << workers << " failure " << failure);
        Model m = small_model(workers);
        VectorSource source(formula_corpus());
        Stopping observer;
        CallOptions options = quiet_options(3);
        options.switches.row_locks = locks;
        options.switches.chunk_size = 16;
        if (failure == 1) observer.stop_at = 5;
        if (failure == 2) source.fail_pass = 3, source.fail_at = 100;  // the second epoch
        if (failure == 0) {
          train(m, source, observer, options);
        } else {
          EXPECT_THROW(
              try { train(m, source, observer, options); } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), failure == 1 ? "stop requested" : "corpus failed");
                throw;
              },
              std::runtime_error);
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
  char path[] = "/tmp/tarnivel_driver_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(path);
    for (int i = 0; i < 70000; ++i) out << "w" << i << (i % 10 == 9 ? "\n" : " ");
  }
  TrainObserver observer;
  corpus::FileSource source([&] { return std::optional(corpus::open_file_pass(path, 0)); }, nullptr, observer);
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
  unlink(path);
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
