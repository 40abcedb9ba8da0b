// Micro-benchmark of the sequential skip-gram sentence routines on real sentences, for A/B of the
// scheduled (dataflow) form against pair-at-a-time kernel calls, and of the softmax path walks.
// Built by `make bench-cpp` (build/bench-cpp/bench/sentences); from the repository root:
//
//   build/bench-cpp/bench/sentences ../shared/data/corpus_en.txt 20000 ns 100
//
// Arguments: corpus, number of sentences, ns|hs, levels (comma separated), both|routine|pairs,
// repetitions, zero|random (output rows at the start). Trains the sentences once
// with each routine from the same start, prints CPU nanoseconds per trained token for both, whether the
// matrices and streams agree bit for bit, and (ns) the executor's counters: updates per round (the
// mean number in flight), stalled and idle lanes per round. For hs it prints the distribution of the
// Huffman path lengths of the trained context words.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_corpus.hpp"
#include "sampling/alias.hpp"
#include "training/hs.hpp"
#include "training/huffman.hpp"
#include "training/ns.hpp"
#include "training/sg_dataflow.hpp"
#include "training/sentence.hpp"

namespace {

using namespace tarnivel;

// CPU time of this thread: on a machine shared with other work, less noisy than wall time.
struct Clock {
  using duration = std::chrono::nanoseconds;
  static std::chrono::time_point<Clock, duration> now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::time_point<Clock, duration>(duration(ts.tv_sec * 1000000000LL + ts.tv_nsec));
  }
};

struct NoProbe : SignalProbe {
  bool interrupted() override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "../shared/data/corpus_en.txt";
  const std::size_t limit = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  const std::string mode = argc > 3 ? argv[3] : "ns";
  // Which routines to time: both (and compare), or only "routine" / "pairs" (for perf stat).
  const std::string which = argc > 5 ? argv[5] : "both";
  const int reps = argc > 6 ? std::atoi(argv[6]) : 2;
  std::vector<uint64_t> levels;
  {
    std::stringstream ls(argc > 4 ? argv[4] : "100");
    std::string item;
    while (std::getline(ls, item, ',')) levels.push_back(std::stoull(item));
  }
  constexpr std::size_t dim = 100;
  const BenchCorpus corpus = load_bench_corpus(path, limit);
  const auto& [sentences, vcounts, tokens, tree, table] = corpus;
  const std::size_t v = vcounts.size();
  TrainParams params;
  params.sg = true;
  params.hs = mode == "hs";
  params.negative = params.hs ? 0 : 5;
  params.levels = levels;
  params.window = 5;
  params.lr = 0.025f;
  const std::size_t out_rows = params.hs ? 2 * v - 1 : v;
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(-0.05f, 0.05f);
  std::vector<float> in0(v * dim), out0(out_rows * dim);
  for (float& x : in0) x = dist(gen);
  // The model starts its output rows at zero; "random" fills them like the input rows.
  const bool random_output = argc > 7 && std::string(argv[7]) == "random";
  if (random_output) {
    for (float& x : out0) x = dist(gen);
  }
  std::printf("%zu sentences, %zu tokens, vocabulary %zu, %s levels", sentences.size(), tokens, v,
              mode.c_str());
  for (const uint64_t l : levels) std::printf(" %llu", static_cast<unsigned long long>(l));
  std::printf("\n");

  if (params.hs) {
    // Path lengths of the context words as trained (one per pair).
    std::map<std::size_t, uint64_t> hist;
    double sum = 0, pairs = 0;
    for (const auto& s : sentences) {
      for (std::size_t c = 0; c < s.size(); ++c) {
        // Each word is a context about 2 * mean window times; weight every occurrence once.
        const std::size_t len = tree.codes[s[c]].size();
        ++hist[len];
        sum += static_cast<double>(len);
        pairs += 1;
      }
    }
    std::printf("mean path length %.2f; lengths:", sum / pairs);
    for (const auto& [len, n] : hist) std::printf(" %zu:%.1f%%", len, 100.0 * n / pairs);
    std::printf("\n");
  }

  const OutputTables tables{&tree, params.hs ? nullptr : &table};
  std::atomic<bool> stop{false};
  NoProbe probe;
  for (int rep = 0; rep < reps; ++rep) {
    std::vector<float> in_a = in0, out_a = out0, in_b = in0, out_b = out0;
    auto sa = ChaChaStream::from_seed(3);
    auto sb = ChaChaStream::from_seed(3);
    schedule_stats() = {};
    const auto t0 = Clock::now();
    for (const auto& s : sentences) {
      if (which == "pairs") break;
      train_sentence(s, sa, params, tables, PlainMatrices{in_a, out_a, dim}, stop, probe);
    }
    const auto t1 = Clock::now();
    // Pair at a time, as the sentence routine calls the kernels.
    const PlainMatrices mb{in_b, out_b, dim};
    const float lr_level = params.lr / static_cast<float>(levels.size());
    for (const auto& s : sentences) {
      if (which == "routine") break;
      const std::size_t n = s.size();
      for (std::size_t i = 0; i < n; ++i) {
        const uint64_t w = params.window - sb.in_closed_range(0, params.window);
        const std::size_t start = w <= i ? i - w : 0;
        const std::size_t end = std::min<std::size_t>(i + w + 1, n);
        for (std::size_t c = start; c < end; ++c) {
          if (c == i) continue;
          if (params.hs) {
            for (const uint64_t level : levels) {
              sg_softmax_step(mb, tree, s[i], s[c], level, lr_level);
            }
          } else {
            sg_negative_step(mb, s[i], s[c], params.negative, levels, params.lr, &table, sb);
          }
        }
      }
    }
    const auto t2 = Clock::now();
    const double ns_a = std::chrono::duration<double, std::nano>(t1 - t0).count() / tokens;
    const double ns_b = std::chrono::duration<double, std::nano>(t2 - t1).count() / tokens;
    const bool same = in_a == in_b && out_a == out_b && sa.counter() == sb.counter() &&
                      sa.index() == sb.index();
    std::printf("routine %.0f ns/token, pair at a time %.0f ns/token, ratio %.2fx, %s\n", ns_a, ns_b,
                ns_b / ns_a, same ? "identical" : "DIFFERENT");
    const ScheduleStats st = schedule_stats();
    if (st.rounds > 0) {
      std::printf("  in flight %.2f updates/round, stalled %.2f, idle %.2f lanes/round\n",
                  double(st.updates) / st.rounds, double(st.stalled_lanes) / st.rounds,
                  double(st.idle_lanes) / st.rounds);
      if (st.critical_path > 0) {
        std::printf("  critical path %.2f%% of the updates (%.2f at most in flight on average)\n",
                    100.0 * double(st.critical_path) / st.updates,
                    double(st.updates) / st.critical_path);
        std::printf("  stalled lanes waited on: a positive %.1f%%, a negative %.1f%%, a repeated"
                    " centre %.1f%%\n",
                    100.0 * double(st.waits_on_positive) / st.stalled_lanes,
                    100.0 * double(st.waits_on_negative) / st.stalled_lanes,
                    100.0 * double(st.waits_on_centre) / st.stalled_lanes);
      }
      std::printf("  rounds by updates run:");
      for (std::size_t w = 0; w <= kScheduleLanes; ++w) {
        std::printf(" %zu:%.1f%%", w, 100.0 * double(st.rounds_by_width[w]) / st.rounds);
      }
      std::printf("\n");
    }
  }
}
