#include "kv/store_rows.hpp"

#include <cstring>

#include "kv/queries.hpp"

namespace tarnivel {

std::vector<uint64_t> resolved_rows(const std::vector<std::string>& words, const KeyIndexMap& index) {
  std::vector<uint64_t> rows(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto found = index.find(std::string_view(words[i]));
    if (found == index.end()) throw ValueError("missing vector");
    rows[i] = found->second;
  }
  return rows;
}

std::vector<uint8_t> not_own_rows(const std::vector<std::string>& words, const KeyIndexMap& index) {
  std::vector<uint8_t> skip;
  if (index.size() == words.size()) return skip;
  const std::vector<uint64_t> own = resolved_rows(words, index);
  skip.resize(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) skip[i] = own[i] != i ? 1 : 0;
  return skip;
}

std::vector<float> resolved_matrix(const std::vector<std::string>& words, const KeyIndexMap& index,
                                   const std::vector<float>& rows, std::size_t dim) {
  const std::size_t n = words.size();
  if (rows.size() != n * dim) throw ValueError("inconsistent vector size");
  const std::vector<uint64_t> own = resolved_rows(words, index);
  std::vector<float> flat(n * dim);
  if (dim != 0) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(flat.data() + i * dim, rows.data() + own[i] * dim, dim * sizeof(float));
  }
  return flat;
}

std::vector<float> analogy_query(const StoredRows& rows, std::size_t level, const uint64_t (&abc)[3]) {
  std::vector<float> unit[3];
  for (int i = 0; i < 3; ++i) unit[i] = unit_prefix(rows, abc[i], level);
  std::vector<float> query(level);
  for (std::size_t j = 0; j < level; ++j) {
    const float d = unit[1][j] - unit[0][j];
    query[j] = d + unit[2][j];
  }
  return query;
}

std::string non_finite_message(const NonFiniteValue& e, const std::vector<std::string>& words, bool single) {
  const char* const not_finite = " holds a value that is not finite (NaN or infinity)";
  if (e.in_query) {
    return single ? std::string("the query vector") + not_finite : "query vector " + std::to_string(e.index) + not_finite;
  }
  return "the vector of word '" + words[e.index] + "' (row " + std::to_string(e.index) + ")" + not_finite;
}

}  // namespace tarnivel
