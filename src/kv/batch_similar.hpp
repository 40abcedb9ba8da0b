#pragma once
// Nearest rows for many query vectors at once: cosine similarity over the first `level` components,
// computed as a blocked matrix product of the queries against the stored rows, read in place (no copy
// of the matrix), on the worker pool. Sums run in 8 lanes (a fixed order, so a result does not depend
// on the processor or on how the work is split); scores agree with the sequential scan of
// nearest_rows to within a few units in the last place. A filter scan (`fused_sums`, whose scores only
// pick rows) sums each dot as one chain of fused multiply-adds and each row's squares in component
// order instead: faster, and as independent of processor and split.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "kv/similar.hpp"

namespace tarnivel {

inline constexpr uint64_t kNoRow = std::numeric_limits<uint64_t>::max();

// The stored rows: row r starts at base + r * stride and has at least `level` floats.
struct StoredRows {
  const float* base = nullptr;
  std::size_t stride = 0;
  uint64_t rows = 0;
};

struct BatchQueries {
  const float* data = nullptr;  // query q starts at data + q * stride
  std::size_t count = 0;
  std::size_t stride = 0;
  std::size_t level = 0;
  std::size_t k = 0;                   // results per query
  std::span<const uint8_t> skip;       // one flag per stored row (never a result), or empty
  std::span<const uint64_t> exclude;   // count * exclude_width rows, kNoRow for none
  std::size_t exclude_width = 0;       // rows excluded per query
  bool parallel = true;                // use the worker pool for large batches
  bool fused_sums = false;             // dots as fused multiply-add chains (for scores that only filter)
};

// A query or a row with a value that is not finite makes scores meaningless; the caller names it.
struct NonFiniteValue : ValueError {
  NonFiniteValue(bool in_query_, uint64_t index_)
      : ValueError(in_query_ ? "query holds a value that is not finite" : "row holds a value that is not finite"),
        in_query(in_query_),
        index(index_) {}
  bool in_query;   // true: query `index`; false: stored row `index`
  uint64_t index;
};

// A vector whose squared length `sq` leaves the normal float range (components beyond about 1e19, or
// all below about 1e-19) would score every row 0 or NaN. Cosines do not depend on length, so such a
// vector is written to `into` scaled by a power of two to a largest component in [0.5, 1) (exact,
// except for components that fall below the normal range next to a huge one); returns whether it was.
// Vectors of ordinary length, zero vectors and vectors with values that are not finite are left alone.
bool rescale_out_of_range(std::span<const float> v, float sq, float* into);

// For each query, its k best rows by descending score; equal scores by ascending row. A score is 0
// when the query or the row prefix has norm 0. Rows are ranked by dot / |row| and the kept ones
// scored as that over |query|, which differs from dot / (|query| |row|) only by rounding.
std::vector<std::vector<Neighbour>> nearest_batch(const StoredRows& rows, const BatchQueries& queries);

}  // namespace tarnivel
