#pragma once
// The word bookkeeping of a store of rows: a word listed more than once resolves to its last row, so
// each position has the row its word resolves to, and the other rows of such a word are never results.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kv/batch_similar.hpp"
#include "model/model.hpp"

namespace tarnivel {

// The row each position of `words` resolves to: its word's entry in `index`.
std::vector<uint64_t> resolved_rows(const std::vector<std::string>& words, const KeyIndexMap& index);

// One flag per position, set for the rows that are not their word's own; empty when every word is
// listed once.
std::vector<uint8_t> not_own_rows(const std::vector<std::string>& words, const KeyIndexMap& index);

// A matrix with the resolved row of every position, in position order, from `rows` (dim floats per
// position): ValueError "inconsistent vector size" when `rows` is not words x dim.
std::vector<float> resolved_matrix(const std::vector<std::string>& words, const KeyIndexMap& index,
                                   const std::vector<float>& rows, std::size_t dim);

// The analogy query b - a + c over the unit prefixes of rows abc[0..2] (a, b, c); NonFiniteValue as
// unit_prefix.
std::vector<float> analogy_query(const StoredRows& rows, std::size_t level, const uint64_t (&abc)[3]);

// The message of a value that is not finite: in query `e.index` (of one query when `single`), or in
// the row of word `words[e.index]`.
std::string non_finite_message(const NonFiniteValue& e, const std::vector<std::string>& words, bool single);

}  // namespace tarnivel
