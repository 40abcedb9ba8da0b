#pragma once
// The corpus as the C++ micro-benchmarks train it: the vocabulary of words seen at least 5 times in
// the whole file, most frequent first (ties by spelling), and the first `limit` sentences as indices
// of in-vocabulary words, with the vocabulary's Huffman tree and noise table.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sampling/alias.hpp"
#include "training/huffman.hpp"

struct BenchCorpus {
  std::vector<std::vector<uint64_t>> sentences;
  std::vector<uint64_t> counts;  // per vocabulary index
  std::size_t tokens = 0;
  tarnivel::HuffmanTree tree;
  tarnivel::AliasTable table;
};

inline BenchCorpus load_bench_corpus(const std::string& path, std::size_t limit) {
  std::vector<std::vector<std::string>> raw;
  std::unordered_map<std::string, uint64_t> counts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::vector<std::string> words;
    std::string w;
    while (ss >> w) {
      ++counts[w];
      words.push_back(w);
    }
    raw.push_back(std::move(words));
  }
  std::vector<std::pair<uint64_t, std::string>> vocab;
  for (const auto& [w, c] : counts) {
    if (c >= 5) vocab.push_back({c, w});
  }
  std::sort(vocab.begin(), vocab.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first > y.first : x.second < y.second;
  });
  BenchCorpus out;
  std::unordered_map<std::string, uint64_t> index;
  for (const auto& [c, w] : vocab) {
    index[w] = out.counts.size();
    out.counts.push_back(c);
  }
  for (const auto& words : raw) {
    if (out.sentences.size() >= limit) break;
    std::vector<uint64_t> s;
    for (const auto& w : words) {
      const auto it = index.find(w);
      if (it != index.end()) s.push_back(it->second);
    }
    out.tokens += s.size();
    out.sentences.push_back(std::move(s));
  }
  out.tree = tarnivel::build_huffman(out.counts);
  out.table = tarnivel::AliasTable::build(tarnivel::noise_weights(out.counts));
  return out;
}
