#pragma once
// Finding NaN and infinite values in a weight matrix (the sign of a diverged training run).
#include <cstddef>
#include <span>

namespace tarnivel {

// Index of the first value that is NaN or infinite, or data.size() when every value is finite.
// One pass of integer tests over the bits (vectorised by the compiler), about the cost of reading
// the data once.
std::size_t first_non_finite(std::span<const float> data);

}  // namespace tarnivel
