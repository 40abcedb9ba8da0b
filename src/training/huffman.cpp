#include "training/huffman.hpp"

#include <algorithm>
#include <limits>
#include <queue>

#include "common/error.hpp"

namespace tarnivel {

namespace {

struct HeapNode {
  uint64_t weight;
  uint64_t node;
};

// std::priority_queue pops the "largest" element; a node ranks larger (comes out earlier) when its
// weight is smaller, and among equal weights when its node number is larger.
struct ComesOutLater {
  bool operator()(const HeapNode& x, const HeapNode& y) const {
    if (x.weight != y.weight) return x.weight > y.weight;
    return x.node < y.node;
  }
};

constexpr uint64_t kNoParent = std::numeric_limits<uint64_t>::max();

uint64_t leaf_weight(uint64_t count) { return std::max<uint64_t>(count, 1); }

// Merged weights can only exceed 2^64 with impossible corpus sizes; saturate rather than wrap so
// the heap order stays sane even then.
uint64_t add_weights(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

}  // namespace

HuffmanTree build_huffman(std::span<const uint64_t> counts) {
  HuffmanTree tree;
  const std::size_t v = counts.size();
  if (v == 0) return tree;

  const std::size_t nodes = 2 * v - 1;
  std::vector<uint64_t> parent(nodes, kNoParent);
  std::vector<uint64_t> right(nodes, kNoParent);

  std::vector<HeapNode> storage;
  storage.reserve(v);
  for (std::size_t i = 0; i < v; ++i) storage.push_back({leaf_weight(counts[i]), i});
  std::priority_queue<HeapNode, std::vector<HeapNode>, ComesOutLater> heap(ComesOutLater{},
                                                                             std::move(storage));

  uint64_t next = v;
  while (heap.size() > 1) {
    const HeapNode a = heap.top();  // 0-branch
    heap.pop();
    TARNIVEL_CHECK(!heap.empty(), "huffman queue emptied during a merge");
    const HeapNode b = heap.top();  // 1-branch
    heap.pop();
    TARNIVEL_CHECK(next < nodes, "huffman node number beyond the root");
    parent[a.node] = next;
    parent[b.node] = next;
    right[next] = b.node;
    heap.push({add_weights(a.weight, b.weight), next});
    ++next;
  }
  TARNIVEL_CHECK(next == nodes, "huffman tree has the wrong number of nodes");

  tree.codes.resize(v);
  tree.path_nodes.resize(v);
  for (std::size_t w = 0; w < v; ++w) {
    std::vector<uint8_t>& code = tree.codes[w];
    std::vector<uint64_t>& path = tree.path_nodes[w];
    for (uint64_t x = w; parent[x] != kNoParent; x = parent[x]) {
      const uint64_t p = parent[x];
      code.push_back(right[p] == x ? 1 : 0);
      path.push_back(p);
    }
    std::reverse(code.begin(), code.end());
    std::reverse(path.begin(), path.end());
  }
  return tree;
}

HuffmanTree build_huffman_for_vocab(std::span<const uint64_t> counts, std::size_t vocab_size) {
  // Every vocabulary word needs a code, because a tree is kept across training calls and a later
  // call may meet words the counting call never saw (counts can be shorter than the vocabulary
  // after a load). Missing counts weigh 1, the same weight an absent count list gives every word.
  // Counts beyond the vocabulary are ignored: their leaves would push inner-node numbers past the
  // 2V - 1 rows of the output matrix.
  if (counts.size() == vocab_size) return build_huffman(counts);
  std::vector<uint64_t> full(vocab_size, 1);
  std::copy_n(counts.begin(), std::min(counts.size(), vocab_size), full.begin());
  return build_huffman(full);
}

}  // namespace tarnivel
