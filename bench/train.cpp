// Trains a line corpus file through the core driver alone (no interpreter), for profiling: prints
// the tokens per second of the epochs and a checksum of the trained input vectors. Built by
// `make bench-cpp` (build/bench-cpp/bench/train); from the repository root:
//
//   build/bench-cpp/bench/train ../shared/data/corpus_en.txt [epochs=1] [workers=1] [sg=0] [hs=0] [vector_size=100]
//
// The environment switches of a training call (TARNIVEL_ROW_LOCKS, W2V_CHUNK, ...) apply as in Python;
// TARNIVEL_BENCH_VERBOSE=1 prints the training log lines to stderr.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corpus/file_source.hpp"
#include "rng/seed.hpp"
#include "training/driver.hpp"

namespace {

using namespace tarnivel;

// Log lines to stderr when asked for; everything else as a host without an interpreter.
class PrintingObserver final : public TrainObserver {
 public:
  void log(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
};

uint64_t arg(int argc, char** argv, int i, uint64_t fallback) {
  return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS [epochs] [workers] [sg] [hs] [vector_size]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  Model model;
  model.params.epochs = arg(argc, argv, 2, 1);
  model.params.workers = arg(argc, argv, 3, 1);
  model.params.sg = arg(argc, argv, 4, 0) != 0;
  model.params.hs = arg(argc, argv, 5, 0) != 0;
  model.params.vector_size = arg(argc, argv, 6, 100);
  model.params.levels = default_levels(model.params.vector_size);
  CallOptions options;
  options.epochs = model.params.epochs;
  const char* verbose = std::getenv("TARNIVEL_BENCH_VERBOSE");
  options.verbose = verbose != nullptr && std::string(verbose) == "1";
  options.switches = read_switches();
  PrintingObserver observer;
  corpus::FileSource source([&] { return corpus::open_file_pass(path, 0); }, nullptr, observer);
  set_seed(1);
  const auto start = std::chrono::steady_clock::now();
  try {
    train(model, source, observer, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "training failed: %s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t tokens = 0;
  for (const uint64_t c : model.vocab.counts) tokens += c;
  uint64_t h = 0xcbf29ce484222325ull;
  const auto* bytes = reinterpret_cast<const unsigned char*>(model.input_vectors.data());
  for (std::size_t i = 0; i < model.input_vectors.size() * sizeof(float); ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
  std::printf("vocab %zu, %llu tokens per epoch, %llu epochs, %.2f s (passes included), %.0f tokens/s, checksum %016llx\n",
              model.vocab.size(), static_cast<unsigned long long>(tokens),
              static_cast<unsigned long long>(options.epochs), seconds,
              seconds > 0 ? static_cast<double>(tokens * options.epochs) / seconds : 0.0,
              static_cast<unsigned long long>(h));
  return 0;
}
