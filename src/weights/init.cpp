#include "weights/init.hpp"

#include <cmath>

#include "rng/seed.hpp"

namespace tarnivel {

void append_random_unit_row(std::vector<float>& matrix, std::size_t vector_size) {
  // Grow the matrix before taking the lock, so an allocation failure cannot break the global lock.
  const std::size_t start = matrix.size();
  matrix.resize(start + vector_size);
  float* row = matrix.data() + start;
  with_global_stream([&](ChaChaStream& stream) {
    for (std::size_t j = 0; j < vector_size; ++j) row[j] = stream.uniform_f32();
  });
  // Sequential float32 sum of squares, each product rounded before it is added.
  float sum = 0.0f;
  for (std::size_t j = 0; j < vector_size; ++j) {
    const float square = row[j] * row[j];
    sum += square;
  }
  if (sum > 0.0f) {
    const float norm = sqrtf(sum);
    for (std::size_t j = 0; j < vector_size; ++j) row[j] = row[j] / norm;
  }
}

}  // namespace tarnivel
