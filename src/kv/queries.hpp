#pragma once
// Queries over stored rows beyond one plain scan: the funnel (a batched scan over a narrow prefix
// keeps a shortlist per query, which is ranked again over the full prefix with the sequential sums of
// nearest_rows) and the word-set queries, which work on unit-length prefixes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kv/batch_similar.hpp"
#include "kv/similar.hpp"

namespace tarnivel {

// Rows kept per query by the narrow scan when the caller names no shortlist: kShortlistFactor times
// the results wanted, and never fewer than kMinShortlist.
inline constexpr std::size_t kShortlistFactor = 30;
inline constexpr std::size_t kMinShortlist = 100;
std::size_t default_shortlist(std::size_t k);

// For each query, its queries.k best rows at queries.level, found in two steps: nearest_batch over the
// first `coarse_level` components keeps `shortlist` rows (at least k; skip and exclusions apply), and
// those rows, in ascending order, are scored with cosine_score over queries.level components and
// selected by TopK. With a shortlist that covers every candidate the result is nearest_rows' own.
// Rows are read over the full level only when shortlisted; NonFiniteValue as nearest_batch.
std::vector<std::vector<Neighbour>> funnel_batch(const StoredRows& rows, const BatchQueries& queries,
                                                 std::size_t coarse_level, std::size_t shortlist);

// The first `level` components of row r scaled to unit length (all zero for a zero prefix); a value
// that is not finite throws NonFiniteValue for the row.
std::vector<float> unit_prefix(const StoredRows& rows, uint64_t r, std::size_t level);

// The sum of the unit prefixes of `plus`, in order, minus those of `minus`, in order.
std::vector<float> unit_sum(const StoredRows& rows, std::size_t level, std::span<const uint64_t> plus,
                            std::span<const uint64_t> minus);

// Position in `ids` (at least two rows) of the row whose unit prefix has the lowest cosine with the
// mean of the other rows' unit prefixes; the first such position on ties.
std::size_t least_matching(const StoredRows& rows, std::size_t level, std::span<const uint64_t> ids);

// Cosine of the means of the unit prefixes of two non-empty sets of rows.
float set_similarity(const StoredRows& rows, std::size_t level, std::span<const uint64_t> first,
                     std::span<const uint64_t> second);

}  // namespace tarnivel
