#include "kv/queries.hpp"

#include <algorithm>
#include <cmath>

#include "training/pool.hpp"

namespace tarnivel {
namespace {

constexpr double kMinParallelRanking = 1e6;  // multiply-adds below which the pool costs more than it saves

const float* row_at(const StoredRows& rows, uint64_t r) { return rows.base + r * rows.stride; }

float squares_of(std::span<const float> v) {
  float s = 0.0f;
  for (const float x : v) {
    const float sq = x * x;
    s += sq;
  }
  return s;
}

// The vector's prefix for exact scoring: as given, or scaled into `scaled` when its squared length
// leaves the float range (the cosines are the same).
std::span<const float> scorable(std::span<const float> v, std::vector<float>& scaled) {
  scaled.resize(v.size());
  if (rescale_out_of_range(v, squares_of(v), scaled.data())) return scaled;
  return v;
}

// cosine_score of the query with up to kRankGroup rows at once: each row's dot product and squared norm
// are the same sequential sums, kept side by side so the rows' additions overlap instead of waiting on
// one another.
constexpr std::size_t kRankGroup = 8;
void cosine_scores(std::span<const float> query, float qn, const float* const* row, std::size_t n, float* score) {
  float dot[kRankGroup] = {};
  float vsq[kRankGroup] = {};
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float qi = query[i];
    for (std::size_t j = 0; j < kRankGroup; ++j) {
      const float v = j < n ? row[j][i] : 0.0f;
      const float qv = qi * v;
      const float vv = v * v;
      dot[j] += qv;
      vsq[j] += vv;
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    score[j] = qn == 0.0f || vsq[j] == 0.0f ? 0.0f : dot[j] / (qn * sqrtf(vsq[j]));
  }
}

}  // namespace

std::size_t default_shortlist(std::size_t k) { return std::max(kMinShortlist, k * kShortlistFactor); }

std::vector<std::vector<Neighbour>> funnel_batch(const StoredRows& rows, const BatchQueries& queries,
                                                 std::size_t coarse_level, std::size_t shortlist) {
  TARNIVEL_CHECK(coarse_level <= queries.level, "coarse level wider than the level");
  for (std::size_t q = 0; q < queries.count; ++q) {
    const float* v = queries.data + q * queries.stride;
    if (!std::all_of(v, v + queries.level, [](float x) { return std::isfinite(x); })) throw NonFiniteValue(true, q);
  }
  BatchQueries narrow = queries;
  narrow.level = coarse_level;
  narrow.k = std::max(shortlist, queries.k);
  narrow.fused_sums = true;  // its scores only pick the shortlist
  std::vector<std::vector<Neighbour>> found = nearest_batch(rows, narrow);
  const auto rank = [&](std::size_t q) {
    std::vector<Neighbour>& list = found[q];
    std::vector<float> scaled;
    const std::span<const float> query = scorable({queries.data + q * queries.stride, queries.level}, scaled);
    const float qn = query_norm(query);
    // Offered in ascending row order, as nearest_rows offers them, so ties resolve the same way.
    std::sort(list.begin(), list.end(), [](const Neighbour& a, const Neighbour& b) { return a.id < b.id; });
    TopK top(queries.k);
    for (std::size_t g = 0; g < list.size(); g += kRankGroup) {
      const std::size_t n = std::min(kRankGroup, list.size() - g);
      const float* group[kRankGroup];
      float scores[kRankGroup];
      for (std::size_t j = 0; j < n; ++j) group[j] = row_at(rows, list[g + j].id);
      cosine_scores(query, qn, group, n, scores);
      for (std::size_t j = 0; j < n; ++j) {
        const float* row = group[j];
        if (std::isnan(scores[j]) &&
            !std::all_of(row, row + queries.level, [](float x) { return std::isfinite(x); })) {
          throw NonFiniteValue(false, list[g + j].id);
        }
        // A row whose squares overflow float32 scores 0, as in the batched scan.
        top.offer(list[g + j].id, std::isnan(scores[j]) ? 0.0f : scores[j]);
      }
    }
    list = top.take_sorted();
    return false;
  };
  // The exact sums are sequential per row; queries are ranked side by side on the pool when there is
  // enough of them.
  const double work = static_cast<double>(queries.count) * static_cast<double>(narrow.k) * static_cast<double>(queries.level);
  if (queries.parallel && queries.count > 1 && work >= kMinParallelRanking) {
    pool_for_each(queries.count, rank);
  } else {
    for (std::size_t q = 0; q < queries.count; ++q) rank(q);
  }
  return found;
}

std::vector<float> unit_prefix(const StoredRows& rows, uint64_t r, std::size_t level) {
  const std::span<const float> v(row_at(rows, r), level);
  if (!std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); })) throw NonFiniteValue(false, r);
  std::vector<float> scaled;
  const std::span<const float> s = scorable(v, scaled);
  const float n = query_norm(s);
  std::vector<float> unit(level, 0.0f);
  if (n > 0.0f) {
    for (std::size_t i = 0; i < level; ++i) unit[i] = s[i] / n;
  }
  return unit;
}

std::vector<float> unit_sum(const StoredRows& rows, std::size_t level, std::span<const uint64_t> plus,
                            std::span<const uint64_t> minus) {
  std::vector<float> sum(level, 0.0f);
  for (const uint64_t r : plus) {
    const std::vector<float> u = unit_prefix(rows, r, level);
    for (std::size_t i = 0; i < level; ++i) sum[i] += u[i];
  }
  for (const uint64_t r : minus) {
    const std::vector<float> u = unit_prefix(rows, r, level);
    for (std::size_t i = 0; i < level; ++i) sum[i] -= u[i];
  }
  return sum;
}

namespace {

// The mean of the unit prefixes of `ids`, leaving out position `skip` (none when out of range).
std::vector<float> unit_mean(const StoredRows& rows, std::size_t level, std::span<const uint64_t> ids,
                             std::size_t skip) {
  std::vector<float> sum(level, 0.0f);
  std::size_t count = 0;
  for (std::size_t j = 0; j < ids.size(); ++j) {
    if (j == skip) continue;
    const std::vector<float> u = unit_prefix(rows, ids[j], level);
    for (std::size_t i = 0; i < level; ++i) sum[i] += u[i];
    ++count;
  }
  TARNIVEL_CHECK(count > 0, "mean of no vectors");
  const float n = static_cast<float>(count);
  for (float& x : sum) x /= n;
  return sum;
}

float cosine(std::span<const float> a, std::span<const float> b) { return cosine_score(a, query_norm(a), b.data()); }

}  // namespace

std::size_t least_matching(const StoredRows& rows, std::size_t level, std::span<const uint64_t> ids) {
  TARNIVEL_CHECK(ids.size() >= 2, "least_matching needs two rows");
  std::size_t worst = 0;
  float worst_score = 0.0f;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const float score = cosine(unit_prefix(rows, ids[i], level), unit_mean(rows, level, ids, i));
    if (i == 0 || score < worst_score) {
      worst = i;
      worst_score = score;
    }
  }
  return worst;
}

float set_similarity(const StoredRows& rows, std::size_t level, std::span<const uint64_t> first,
                     std::span<const uint64_t> second) {
  return cosine(unit_mean(rows, level, first, first.size()), unit_mean(rows, level, second, second.size()));
}

}  // namespace tarnivel
