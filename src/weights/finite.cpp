#include "weights/finite.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace tarnivel {

std::size_t first_non_finite(std::span<const float> data) {
  // Blocks of a size that stays in the first-level cache; a block with a bad value is searched again
  // element by element, which only happens once per failed check.
  constexpr std::size_t kBlock = 2048;
  constexpr uint32_t kExponent = 0x7F800000u;  // all exponent bits set: infinity or NaN
  for (std::size_t start = 0; start < data.size(); start += kBlock) {
    const std::size_t end = start + kBlock < data.size() ? start + kBlock : data.size();
    uint32_t bad = 0;
    for (std::size_t i = start; i < end; ++i) {
      bad |= static_cast<uint32_t>((std::bit_cast<uint32_t>(data[i]) & kExponent) == kExponent);
    }
    if (bad == 0) continue;
    for (std::size_t i = start; i < end; ++i) {
      if (!std::isfinite(data[i])) return i;
    }
  }
  return data.size();
}

}  // namespace tarnivel
