#pragma once
// Random unit-row initialisation of the weight matrices from the global stream.
#include <cstddef>
#include <vector>

namespace tarnivel {

// Appends one random unit row of `vector_size` floats to `matrix`, drawn under the global stream's
// lock: uniform_f32 components, divided by sqrtf of their sequential sum of squares when it is > 0.
void append_random_unit_row(std::vector<float>& matrix, std::size_t vector_size);

}  // namespace tarnivel
