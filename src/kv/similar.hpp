#pragma once
// Nearest-neighbour scan by cosine similarity over the first `level` components of stored rows.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"

namespace tarnivel {

// A query or candidate vector (its compared prefix) that cannot be scored: a component is NaN or
// infinite, or its squared length overflows float32. Any score computed from it would be NaN or an
// arbitrary 0, so the query stops; `row` says whose vector it is, for the caller to name the word.
struct UnscorableVector : ValueError {
  UnscorableVector(uint64_t row_index, bool too_large_values);
  uint64_t row;
  bool too_large;  // all components finite, but the squares overflow
};

// One kept candidate: its row (or position) and its float32 cosine score.
struct Neighbour {
  uint64_t id;
  float score;
};

// Norm of a query prefix: sqrt of the sequential float32 sum of squares, 0 when that sum is not > 0
// (a NaN sum also gives 0).
float query_norm(std::span<const float> query);

// Cosine score of `row` (first query.size() components) against the query of norm `qn`: dot and
// squared norm summed sequentially in float32; 0 when either norm is 0.
float cosine_score(std::span<const float> query, float qn, const float* row);

// Keeps the k best-scored candidates exactly as a working list of k slots would: the first k
// candidates are appended; afterwards a new candidate overwrites the first slot holding the lowest
// score, and only when its score is strictly greater. A min-heap ordered by (score, slot) finds that
// slot in O(log k). A NaN score throws InternalError (it cannot be ordered).
class TopK {
 public:
  explicit TopK(std::size_t k);
  void offer(uint64_t id, float score);
  // The kept candidates by descending score; equal scores in ascending slot order (what a stable sort
  // of the working list gives).
  std::vector<Neighbour> take_sorted();

 private:
  struct Entry {
    float score;
    std::size_t slot;
    uint64_t id;
  };
  std::size_t k_;
  std::vector<Entry> heap_;
};

// Rows to scan: row r starts at base + r * stride; rows listed in `skip` (a flag per row, or an empty
// span for none) and the row `query_row` are not candidates.
struct RowSet {
  const float* base = nullptr;
  std::size_t stride = 0;
  uint64_t rows = 0;
  std::span<const uint8_t> skip;
};

// The k rows most similar to `query` (level = query.size() components), best first. Rows are
// visited in ascending order. Throws UnscorableVector (query_row for the query) when the query or a
// candidate row cannot be scored, whatever k (also 0).
std::vector<Neighbour> nearest_rows(std::span<const float> query, const RowSet& rows, uint64_t query_row,
                                    std::size_t k);

}  // namespace tarnivel
