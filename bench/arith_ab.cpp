// Micro-benchmark of the sequential sentence routine in both arithmetics, every mode, on real
// sentences: CPU nanoseconds per trained token, exact and fast alternating within one process.
// Not part of any build target; build the core first (make cpp-test), then from the repository root:
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/arith_ab.cpp build/cpp/libtarnivel_core.a \
//       -o /tmp/arith_ab -pthread && /tmp/arith_ab ../shared/data/corpus_en.txt 20000 3 100
//
// Arguments: corpus, number of sentences, repetitions, levels (comma separated), modes (comma
// separated, default sg-ns,sg-hs,cbow-ns,cbow-hs), arithmetics (exact,fast by default; fast-avx512,
// fast-avx2 and fast-baseline select a build of the fast arithmetic, so builds alternate too).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_corpus.hpp"
#include "sampling/alias.hpp"
#include "ops/fast_ops.hpp"
#include "training/huffman.hpp"
#include "training/sg_dataflow.hpp"
#include "training/sentence.hpp"

namespace {

using namespace tarnivel;

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct NoProbe : SignalProbe {
  bool interrupted() override { return false; }
};

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, sep)) out.push_back(item);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "../shared/data/corpus_en.txt";
  const std::size_t limit = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  const int reps = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<uint64_t> levels;
  for (const auto& l : split(argc > 4 ? argv[4] : "100", ',')) levels.push_back(std::stoull(l));
  const auto modes = split(argc > 5 ? argv[5] : "sg-ns,sg-hs,cbow-ns,cbow-hs", ',');
  const auto ariths = split(argc > 6 ? argv[6] : "exact,fast", ',');
  constexpr std::size_t dim = 100;
  const BenchCorpus corpus = load_bench_corpus(path, limit);
  const auto& [sentences, vcounts, tokens, tree, table] = corpus;
  const std::size_t v = vcounts.size();
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(-0.005f, 0.005f);
  std::vector<float> in0(v * dim);
  for (float& x : in0) x = dist(gen);
  std::printf("%zu sentences, %zu tokens, vocabulary %zu, levels", sentences.size(), tokens, v);
  for (const uint64_t l : levels) std::printf(" %llu", static_cast<unsigned long long>(l));
  std::printf("\n");
  for (const auto& mode : modes) {
    TrainParams params;
    params.sg = mode.rfind("sg", 0) == 0;
    params.hs = mode.find("hs") != std::string::npos;
    params.negative = params.hs ? 0 : 5;
    params.levels = levels;
    params.window = 5;
    params.lr = 0.025f;
    const OutputTables tables{&tree, params.hs ? nullptr : &table};
    std::vector<double> best(ariths.size(), 1e300);
    schedule_stats() = {};
    for (int rep = 0; rep < reps; ++rep) {
      for (std::size_t a = 0; a < ariths.size(); ++a) {
        params.arithmetic = ariths[a].rfind("fast", 0) == 0 ? Arithmetic::kFast : Arithmetic::kExact;
        const std::string build = ariths[a].size() > 5 ? ariths[a].substr(5) : "";
        if (!build.empty() && !use_fast_build(build == "avx512" ? FastBuild::kAvx512
                                              : build == "avx2" ? FastBuild::kAvx2
                                                                : FastBuild::kBaseline)) {
          std::fprintf(stderr, "this processor does not run the %s build\n", build.c_str());
          return 1;
        }
        std::vector<float> in = in0;
        std::vector<float> out((params.hs ? 2 * v - 1 : v) * dim, 0.0f);
        auto stream = ChaChaStream::from_seed(3);
        std::atomic<bool> stop{false};
        NoProbe probe;
        const double t0 = cpu_seconds();
        for (const auto& s : sentences) {
          train_sentence(s, stream, params, tables, PlainMatrices{in, out, dim}, stop, probe);
        }
        best[a] = std::min(best[a], (cpu_seconds() - t0) / static_cast<double>(tokens));
      }
    }
    std::printf("%-8s", mode.c_str());
    for (std::size_t a = 0; a < ariths.size(); ++a) {
      std::printf("  %s %.0f ns/token (%.0fk tokens/s)", ariths[a].c_str(), best[a] * 1e9,
                  1e-3 / best[a]);
    }
    if (ariths.size() == 2) std::printf("  ratio %.2fx", best[0] / best[1]);
    // Skip-gram negative sampling: the executor's mean updates per round, over all runs.
    if (const ScheduleStats& st = schedule_stats(); st.rounds > 0) {
      std::printf("  %.2f updates/round", double(st.updates) / double(st.rounds));
      if (st.critical_path > 0) {
        std::printf(" (%.2f with unlimited lanes; stalled %.2f idle %.2f per round; waits pos %llu neg %llu centre %llu)",
                    double(st.updates) / double(st.critical_path),
                    double(st.stalled_lanes) / double(st.rounds), double(st.idle_lanes) / double(st.rounds),
                    (unsigned long long)st.waits_on_positive, (unsigned long long)st.waits_on_negative,
                    (unsigned long long)st.waits_on_centre);
        std::printf("\n  rounds by width:");
        for (auto w : st.rounds_by_width) std::printf(" %llu", (unsigned long long)w);
      }
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}
