#include "kv/similar.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/error.hpp"

namespace tarnivel {

float query_norm(std::span<const float> query) {
  float s = 0.0f;
  for (float x : query) {
    const float sq = x * x;
    s += sq;
  }
  return s > 0.0f ? sqrtf(s) : 0.0f;
}

namespace {

struct RowSums {
  float dot;
  float vsq;
};

RowSums row_sums(std::span<const float> query, const float* row) {
  float dot = 0.0f;
  float vsq = 0.0f;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float v = row[i];
    const float qv = query[i] * v;
    const float vv = v * v;
    dot += qv;
    vsq += vv;
  }
  return {dot, vsq};
}

float score_of(const RowSums& sums, float qn) {
  if (qn == 0.0f || sums.vsq == 0.0f) return 0.0f;
  const float denominator = qn * sqrtf(sums.vsq);
  return sums.dot / denominator;
}

// Called when a sum of squares is not finite: tells NaN or infinite components from finite ones
// whose squares overflow.
[[noreturn]] void unscorable(uint64_t row, const float* values, std::size_t n) {
  bool too_large = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(values[i])) too_large = false;
  }
  throw UnscorableVector(row, too_large);
}

}  // namespace

UnscorableVector::UnscorableVector(uint64_t row_index, bool too_large_values)
    : ValueError("most_similar: the vector of row " + std::to_string(row_index) +
                 (too_large_values ? " is too large to compare" : " is not finite")),
      row(row_index),
      too_large(too_large_values) {}

float cosine_score(std::span<const float> query, float qn, const float* row) {
  return score_of(row_sums(query, row), qn);
}

namespace {

// Heap order: the entry that compares "greater" sinks, so the top is the lowest score and, among
// equal scores, the lowest slot: the first minimum of the working list.
struct LaterOrHigher {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    if (a.score != b.score) return a.score > b.score;
    return a.slot > b.slot;
  }
};

}  // namespace

TopK::TopK(std::size_t k) : k_(k) {
  // Capacity is reserved lazily up to the number of candidates actually offered: k may be far
  // larger than the rows there are (topn is not bounded by the caller).
}

void TopK::offer(uint64_t id, float score) {
  if (k_ == 0) return;  // nothing is kept, so nothing is ever compared
  // Decision: a NaN score stops the query at once instead of when it first meets another score. Every
  // kept score is compared at least in the final sort unless it is the only one, so stopping early
  // only differs for that single-candidate case, and the heap never has to order a NaN.
  if (std::isnan(score)) {
    internal_error("most_similar: similarity score of row " + std::to_string(id) + " is NaN");
  }
  if (heap_.size() < k_) {
    heap_.push_back({score, heap_.size(), id});
    std::push_heap(heap_.begin(), heap_.end(), LaterOrHigher{});
    return;
  }
  if (!(heap_.front().score < score)) return;  // equal to the minimum: dropped
  std::pop_heap(heap_.begin(), heap_.end(), LaterOrHigher{});
  Entry& freed = heap_.back();  // the first minimum; the new candidate takes over its slot
  freed.score = score;
  freed.id = id;
  std::push_heap(heap_.begin(), heap_.end(), LaterOrHigher{});
}

std::vector<Neighbour> TopK::take_sorted() {
  std::sort(heap_.begin(), heap_.end(), [](const Entry& a, const Entry& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.slot < b.slot;
  });
  std::vector<Neighbour> out;
  out.reserve(heap_.size());
  for (const Entry& e : heap_) out.push_back({e.id, e.score});
  heap_.clear();
  return out;
}

std::vector<Neighbour> nearest_rows(std::span<const float> query, const RowSet& rows, uint64_t query_row,
                                    std::size_t k) {
  TARNIVEL_CHECK(rows.skip.empty() || rows.skip.size() == rows.rows, "skip flags do not match the rows");
  TARNIVEL_CHECK(rows.rows == 0 || query.size() <= rows.stride, "query longer than a row");
  float squares = 0.0f;
  for (const float x : query) {
    const float sq = x * x;
    squares += sq;
  }
  if (!std::isfinite(squares)) unscorable(query_row, query.data(), query.size());
  const float qn = query_norm(query);
  TopK top(k);
  for (uint64_t r = 0; r < rows.rows; ++r) {
    if (r == query_row || (!rows.skip.empty() && rows.skip[r] != 0)) continue;
    const float* row = rows.base + r * rows.stride;
    const RowSums sums = row_sums(query, row);
    // A finite sum of squares means every component is finite, and then the dot product is finite
    // too (it is bounded by the two lengths): one test per row covers NaN, infinities and overflow.
    if (!std::isfinite(sums.vsq)) unscorable(r, row, query.size());
    top.offer(r, score_of(sums, qn));
  }
  return top.take_sorted();
}

}  // namespace tarnivel
