#include "model/model.hpp"

#include <algorithm>

namespace tarnivel {

std::vector<uint64_t> default_levels(uint64_t vector_size) {
  std::vector<uint64_t> levels;
  for (uint64_t v : {vector_size / 4, vector_size / 2, vector_size}) {
    if (v != 0) levels.push_back(v);
  }
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  if (levels.empty()) levels.push_back(1);
  return levels;
}

std::vector<uint64_t> normalise_levels(const std::optional<std::vector<uint64_t>>& levels,
                                       uint64_t vector_size) {
  if (!levels) return default_levels(vector_size);
  std::vector<uint64_t> kept;
  for (uint64_t v : *levels) {
    if (v >= 1 && v <= vector_size) kept.push_back(v);
  }
  if (kept.empty()) kept.push_back(vector_size);
  return kept;
}

}  // namespace tarnivel
