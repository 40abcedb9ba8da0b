#pragma once
// The corpus as the C++ micro-benchmarks train it: the vocabulary training builds (words seen at least 5
// times, most frequent first), and the first `limit` sentences as indices
// of in-vocabulary words, with the vocabulary's Huffman tree and noise table.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corpus/file_source.hpp"
#include "model/model.hpp"
#include "sampling/alias.hpp"
#include "training/driver.hpp"
#include "training/huffman.hpp"

struct BenchCorpus {
  std::vector<std::vector<uint64_t>> sentences;
  std::vector<uint64_t> counts;  // per vocabulary index
  std::size_t tokens = 0;
  tarnivel::HuffmanTree tree;
  tarnivel::AliasTable table;
};

// The vocabulary comes from the core's own file pass (min_count 5), as training builds it.
inline BenchCorpus load_bench_corpus(const std::string& path, std::size_t limit) {
  using namespace tarnivel;
  Model model;
  model.params.vector_size = 0;  // no matrices: only the words and their counts are needed
  TrainObserver observer;
  corpus::FileSource source([&] { return corpus::open_file_pass(path, 0); }, nullptr, observer);
  source.vocabulary_pass(model);
  BenchCorpus out;
  out.counts = model.vocab.counts;
  auto stream = source.sentences(model.vocab);
  for (std::span<const uint64_t> s; out.sentences.size() < limit && stream->next(s);) {
    out.tokens += s.size();
    out.sentences.emplace_back(s.begin(), s.end());
  }
  out.tree = build_huffman(out.counts);
  out.table = AliasTable::build(noise_weights(out.counts));
  return out;
}
