#include "kv/batch_similar.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <cstring>
#include <limits>

#include <immintrin.h>

#include "training/pool.hpp"

// The 8-lane helpers are always inlined, so no vector value ever crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarnivel {
namespace {

#define TARNIVEL_INLINE inline __attribute__((always_inline))

// Eight float lanes; without AVX the compiler splits each operation into two 4-lane ones with the
// same lane-wise results, so every build computes the same sums.
using v8 = float __attribute__((vector_size(32)));

constexpr std::size_t kQueryBlock = 256;  // queries whose dots with a row block are computed together
constexpr std::size_t kRowBlock = 256;    // rows per block (their prefixes stay in cache)
constexpr std::size_t kMinRowsPerTask = 2048;
constexpr double kMinParallelWork = 4e6;  // multiply-adds below which the pool costs more than it saves

TARNIVEL_INLINE v8 load8(const float* p) {
  v8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

using v4 = float __attribute__((vector_size(16)));
using v2 = float __attribute__((vector_size(8)));

// Lanes added in a fixed order: ((v0 + v4) + (v2 + v6)) + ((v1 + v5) + (v3 + v7)), as halves of
// vectors (the same value on every build).
TARNIVEL_INLINE float lanes_sum(const v8& v) {
  const v4 w = __builtin_shufflevector(v, v, 0, 1, 2, 3) + __builtin_shufflevector(v, v, 4, 5, 6, 7);
  const v2 u = __builtin_shufflevector(w, w, 0, 1) + __builtin_shufflevector(w, w, 2, 3);
  return u[0] + u[1];
}

// lanes_sum of four vectors at once, in the same order for each (so with the same results): halves
// added, then pairs, then the last two, each step on several vectors' values side by side.
TARNIVEL_INLINE v4 lanes_sum4(const v8& a, const v8& b, const v8& c, const v8& d) {
  const v8 ab = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11) +
                __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
  const v8 cd = __builtin_shufflevector(c, d, 0, 1, 2, 3, 8, 9, 10, 11) +
                __builtin_shufflevector(c, d, 4, 5, 6, 7, 12, 13, 14, 15);
  const v8 u = __builtin_shufflevector(ab, cd, 0, 1, 4, 5, 8, 9, 12, 13) +
               __builtin_shufflevector(ab, cd, 2, 3, 6, 7, 10, 11, 14, 15);
  return __builtin_shufflevector(u, u, 0, 2, 4, 6) + __builtin_shufflevector(u, u, 1, 3, 5, 7);
}

// Dot products of NQ queries with NR rows over `level` floats: 8-lane partial sums over groups of 8,
// the last group zero-filled, then the lanes added. Queries are zero-padded to a multiple of 8; a
// row's last group is read from `tail` (8 floats, zero-filled). Every (query, row) pair gets the same
// sequence of operations whatever tile it is computed in.
template <int NQ, int NR>
TARNIVEL_INLINE void dot_tile(const float* const* q, const float* const* r, const float* const* tail,
                              std::size_t level, float* out, std::size_t out_stride) {
  v8 acc[NQ][NR];
  for (int a = 0; a < NQ; ++a) {
    for (int b = 0; b < NR; ++b) acc[a][b] = v8{};
  }
  std::size_t i = 0;
  for (; i + 8 <= level; i += 8) {
    v8 qa[NQ];
    for (int a = 0; a < NQ; ++a) qa[a] = load8(q[a] + i);
    for (int b = 0; b < NR; ++b) {
      const v8 x = load8(r[b] + i);
      for (int a = 0; a < NQ; ++a) {
        const v8 p = qa[a] * x;
        acc[a][b] += p;
      }
    }
  }
  if (i < level) {
    v8 qa[NQ];
    for (int a = 0; a < NQ; ++a) qa[a] = load8(q[a] + i);
    for (int b = 0; b < NR; ++b) {
      const v8 x = load8(tail[b]);
      for (int a = 0; a < NQ; ++a) {
        const v8 p = qa[a] * x;
        acc[a][b] += p;
      }
    }
  }
  for (int a = 0; a < NQ; ++a) {
    float* into = out + static_cast<std::size_t>(a) * out_stride;
    if constexpr (NR == 4) {
      const v4 sums = lanes_sum4(acc[a][0], acc[a][1], acc[a][2], acc[a][3]);
      std::memcpy(into, &sums, sizeof sums);
    } else {
      for (int b = 0; b < NR; ++b) into[b] = lanes_sum(acc[a][b]);
    }
  }
}

// dots[a * row_count + b] = query a . row b for nq queries and row_count rows, in tiles of QT
// queries by 4 rows (as many accumulators as the registers hold).
template <int QT>
TARNIVEL_INLINE void block_dots_impl(const float* const* q, std::size_t nq, const float* const* r,
                                     const float* const* tail, std::size_t row_count, std::size_t level,
                                     float* dots) {
  std::size_t a = 0;
  for (; a + QT <= nq; a += QT) {
    std::size_t b = 0;
    for (; b + 4 <= row_count; b += 4) {
      dot_tile<QT, 4>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
    }
    for (; b < row_count; ++b) dot_tile<QT, 1>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
  }
  for (; a + 2 <= nq; a += 2) {
    std::size_t b = 0;
    for (; b + 4 <= row_count; b += 4) {
      dot_tile<2, 4>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
    }
    for (; b < row_count; ++b) dot_tile<2, 1>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
  }
  for (; a < nq; ++a) {
    std::size_t b = 0;
    for (; b + 4 <= row_count; b += 4) {
      dot_tile<1, 4>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
    }
    for (; b < row_count; ++b) dot_tile<1, 1>(q + a, r + b, tail + b, level, dots + a * row_count + b, row_count);
  }
}

using BlockDots = void (*)(const float* const*, std::size_t, const float* const*, const float* const*, std::size_t,
                           std::size_t, float*);

// The same operations compiled for three instruction sets; only the speed differs. AVX-512 brings 32
// vector registers, room for 4 x 4 tiles of 8-lane sums.
__attribute__((target("avx512f,avx512vl"))) void block_dots_avx512(const float* const* q, std::size_t nq,
                                                                   const float* const* r, const float* const* tail,
                                                                   std::size_t row_count, std::size_t level,
                                                                   float* dots) {
  block_dots_impl<4>(q, nq, r, tail, row_count, level, dots);
}

__attribute__((target("avx2"))) void block_dots_avx2(const float* const* q, std::size_t nq, const float* const* r,
                                                     const float* const* tail, std::size_t row_count,
                                                     std::size_t level, float* dots) {
  block_dots_impl<2>(q, nq, r, tail, row_count, level, dots);
}

void block_dots_plain(const float* const* q, std::size_t nq, const float* const* r, const float* const* tail,
                      std::size_t row_count, std::size_t level, float* dots) {
  block_dots_impl<2>(q, nq, r, tail, row_count, level, dots);
}

BlockDots block_dots() {
  static const BlockDots chosen = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return &block_dots_avx512;
    return __builtin_cpu_supports("avx2") ? &block_dots_avx2 : &block_dots_plain;
  }();
  return chosen;
}

constexpr std::size_t padded(std::size_t level) { return (level + 7) / 8 * 8; }

// The last level % 8 floats of a row, zero-filled to 8 (all zero when level is a multiple of 8).
void copy_tail(const float* row, std::size_t level, float* tail) {
  const std::size_t start = level / 8 * 8;
  for (std::size_t i = 0; i < 8; ++i) tail[i] = start + i < level ? row[start + i] : 0.0f;
}

// A row's squared norm with the sums of the dot products.
float self_dot(const float* v, std::size_t level) {
  thread_local std::vector<float> pad;  // reused: this runs once per stored row
  pad.assign(padded(level), 0.0f);
  std::copy(v, v + level, pad.begin());
  const float* p = pad.data();
  const float* tail = p + level / 8 * 8;
  float s = 0.0f;
  block_dots()(&p, 1, &p, &tail, 1, level, &s);
  return s;
}

float norm_of(float sq) { return sq > 0.0f ? sqrtf(sq) : 0.0f; }

// Worse candidate first: lower score, then higher row.
bool worse(const Neighbour& a, const Neighbour& b) {
  if (a.score != b.score) return a.score < b.score;
  return a.id > b.id;
}
// The k best candidates seen: new candidates above the threshold are appended, and whenever the list
// reaches twice k it is cut back to its k best (a partial sort), whose worst sets the threshold. The
// cost per kept candidate does not grow with k, which matters for the long shortlists of a funnel.
class Best {
 public:
  explicit Best(std::size_t k) : k_(k) {}
  // A candidate (with a higher row than every kept one) is kept only if its key is above this.
  float threshold() const { return threshold_; }
  void offer(uint64_t id, float score) {
    if (k_ == 0) return;
    kept_.push_back({id, score});
    if (kept_.size() >= 2 * k_ + 64) cut();
  }
  // Every candidate kept, the k best among them, in no particular order.
  const std::vector<Neighbour>& items() const { return kept_; }

 private:
  void cut() {
    if (kept_.size() <= k_) return;
    std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(k_ - 1), kept_.end(),
                     [](const Neighbour& a, const Neighbour& b) { return worse(b, a); });
    kept_.resize(k_);
    threshold_ = kept_.back().score;
  }

  std::size_t k_;
  float threshold_ = -std::numeric_limits<float>::infinity();
  std::vector<Neighbour> kept_;
};

struct Task {
  std::size_t q_begin, q_end;
  uint64_t r_begin, r_end;
  std::vector<Best> best;  // one per query of the task
};

// Per query, the highest threshold any task has reached: the k-th best key of some of the rows, so no
// row with a lower key can be among the k best of all. Tasks over other row ranges publish theirs
// here and filter with it, so a long list is not filled again from scratch in every range.
class SharedBounds {
 public:
  explicit SharedBounds(std::size_t count) : bounds_(std::make_unique<std::atomic<float>[]>(count)) {
    for (std::size_t q = 0; q < count; ++q) bounds_[q].store(-std::numeric_limits<float>::infinity());
  }
  float get(std::size_t q) const { return bounds_[q].load(std::memory_order_relaxed); }
  void raise(std::size_t q, float t) {
    float seen = get(q);
    while (t > seen && !bounds_[q].compare_exchange_weak(seen, t, std::memory_order_relaxed)) {
    }
  }

 private:
  std::unique_ptr<std::atomic<float>[]> bounds_;
};

// The threshold a task filters with: above its own list's, and at least the shared bound (a key equal
// to the shared bound may still win on its row, so it is kept; the next float down turns that into
// the same strict comparison).
float filter_threshold(float own, float shared) {
  return std::max(own, std::nextafter(shared, -std::numeric_limits<float>::infinity()));
}

// Which of the eight keys d[i] * inv[i] are above the threshold (bit i; NaN keys are not); the same
// products and comparisons as the scalar test, four at a time.
TARNIVEL_INLINE unsigned above_mask(const float* d, const float* inv, float threshold) {
  const __m128 t = _mm_set1_ps(threshold);
  const __m128 low = _mm_mul_ps(_mm_loadu_ps(d), _mm_loadu_ps(inv));
  const __m128 high = _mm_mul_ps(_mm_loadu_ps(d + 4), _mm_loadu_ps(inv + 4));
  return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(low, t)) | (_mm_movemask_ps(_mm_cmpgt_ps(high, t)) << 4));
}

// Candidates are ranked by key = dot / |row| (the score times the query norm, the same order for a
// query); the score itself, key / |query|, is worked out for the kept ones only.
void run_task(const StoredRows& rows, const BatchQueries& qs, const float* queries, std::size_t query_stride,
              const std::vector<float>& inv_norm, SharedBounds& bounds, Task& task) {
  const std::size_t nq = task.q_end - task.q_begin;
  std::vector<const float*> qp(nq);
  for (std::size_t a = 0; a < nq; ++a) qp[a] = queries + (task.q_begin + a) * query_stride;
  std::vector<const float*> rp(kRowBlock);
  std::vector<const float*> tp(kRowBlock);
  std::vector<float> tails(kRowBlock * 8);
  std::vector<float> dots(nq * kRowBlock);
  const BlockDots dots_fn = block_dots();
  const bool has_tail = qs.level % 8 != 0;
  task.best.assign(nq, Best(qs.k));
  for (uint64_t r0 = task.r_begin; r0 < task.r_end; r0 += kRowBlock) {
    const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(kRowBlock, task.r_end - r0));
    for (std::size_t b = 0; b < count; ++b) {
      rp[b] = rows.base + (r0 + b) * rows.stride;
      tp[b] = tails.data() + b * 8;
      if (has_tail) copy_tail(rp[b], qs.level, tails.data() + b * 8);
    }
    dots_fn(qp.data(), nq, rp.data(), tp.data(), count, qs.level, dots.data());
    const float* inv = inv_norm.data() + r0;
    for (std::size_t a = 0; a < nq; ++a) {
      const std::size_t q = task.q_begin + a;
      const uint64_t* excluded = qs.exclude_width == 0 ? nullptr : qs.exclude.data() + q * qs.exclude_width;
      Best& best = task.best[a];
      const float* d = dots.data() + a * count;
      float own = best.threshold();
      float threshold = filter_threshold(own, bounds.get(q));
      const auto consider = [&](std::size_t b) {
        const float key = d[b] * inv[b];
        if (!(key > threshold)) return;  // the threshold may have risen since the group's test
        const uint64_t r = r0 + b;
        if (!qs.skip.empty() && qs.skip[r] != 0) return;
        bool out = false;
        for (std::size_t e = 0; e < qs.exclude_width; ++e) out = out || excluded[e] == r;
        if (out) return;
        best.offer(r, key);
        if (best.threshold() != own) {
          own = best.threshold();
          bounds.raise(q, own);
          threshold = filter_threshold(own, bounds.get(q));
        }
      };
      // Eight keys at a time: once the list is full, most groups hold no key above the threshold and
      // are passed over with one comparison; in the others only the keys above it are looked at.
      std::size_t b = 0;
      for (; b + 8 <= count; b += 8) {
        for (unsigned m = above_mask(d + b, inv + b, threshold); m != 0; m &= m - 1) {
          consider(b + static_cast<std::size_t>(__builtin_ctz(m)));
        }
      }
      for (; b < count; ++b) consider(b);
    }
  }
}

}  // namespace

bool rescale_out_of_range(std::span<const float> v, float sq, float* into) {
  if (sq >= std::numeric_limits<float>::min() && std::isfinite(sq)) return false;
  float largest = 0.0f;
  for (const float x : v) largest = std::max(largest, std::fabs(x));
  if (!(largest > 0.0f) || !std::isfinite(largest)) return false;
  int exponent = 0;
  (void)std::frexp(largest, &exponent);
  for (std::size_t i = 0; i < v.size(); ++i) into[i] = std::ldexp(v[i], -exponent);
  return true;
}

std::vector<std::vector<Neighbour>> nearest_batch(const StoredRows& rows, const BatchQueries& qs) {
  TARNIVEL_CHECK(qs.skip.empty() || qs.skip.size() == rows.rows, "skip flags do not match the rows");
  TARNIVEL_CHECK(qs.exclude.size() == qs.count * qs.exclude_width, "exclusions do not match the queries");
  TARNIVEL_CHECK(rows.rows == 0 || qs.level <= rows.stride, "level wider than a row");
  TARNIVEL_CHECK(qs.count == 0 || qs.level <= qs.stride, "level wider than a query");
  std::vector<std::vector<Neighbour>> result(qs.count);
  if (qs.count == 0 || qs.k == 0 || rows.rows == 0) return result;
  // The queries' prefixes, zero-padded to whole groups of 8.
  const std::size_t query_stride = padded(qs.level);
  std::vector<float> queries(qs.count * query_stride, 0.0f);
  std::vector<float> qnorm(qs.count);
  for (std::size_t q = 0; q < qs.count; ++q) {
    const float* v = qs.data + q * qs.stride;
    for (std::size_t i = 0; i < qs.level; ++i) {
      if (!std::isfinite(v[i])) throw NonFiniteValue(true, q);
    }
    float* into = queries.data() + q * query_stride;
    std::copy(v, v + qs.level, into);
    float sq = self_dot(v, qs.level);
    if (rescale_out_of_range(std::span<const float>(v, qs.level), sq, into)) sq = self_dot(into, qs.level);
    qnorm[q] = norm_of(sq);
  }

  // Tasks: blocks of queries times ranges of rows, enough of them to keep every pool thread busy.
  const std::size_t q_blocks = (qs.count + kQueryBlock - 1) / kQueryBlock;
  const double work = static_cast<double>(qs.count) * static_cast<double>(rows.rows) * static_cast<double>(qs.level + 1);
  const bool parallel = qs.parallel && work >= kMinParallelWork;
  std::size_t r_parts = 1;
  if (parallel) {
    const std::size_t wanted = 4 * worker_pool_size();
    const std::size_t by_rows = static_cast<std::size_t>(std::max<uint64_t>(1, rows.rows / kMinRowsPerTask));
    r_parts = std::clamp<std::size_t>((wanted + q_blocks - 1) / q_blocks, 1, by_rows);
  }
  std::vector<Task> tasks;
  tasks.reserve(q_blocks * r_parts);
  for (std::size_t qb = 0; qb < q_blocks; ++qb) {
    for (std::size_t p = 0; p < r_parts; ++p) {
      Task t;
      t.q_begin = qb * kQueryBlock;
      t.q_end = std::min(qs.count, t.q_begin + kQueryBlock);
      t.r_begin = rows.rows * p / r_parts;
      t.r_end = rows.rows * (p + 1) / r_parts;
      tasks.push_back(std::move(t));
    }
  }
  // 1 / norm of every row prefix (0 for a zero row, whose score is 0), once: a float per row, not a
  // copy of the rows.
  std::vector<float> inv_norm(rows.rows);
  const std::size_t norm_parts =
      parallel ? std::clamp<std::size_t>(static_cast<std::size_t>(rows.rows / 1024), 1, 4 * worker_pool_size()) : 1;
  const auto norms = [&](std::size_t p) {
    const uint64_t begin = rows.rows * p / norm_parts;
    const uint64_t end = rows.rows * (p + 1) / norm_parts;
    for (uint64_t r = begin; r < end; ++r) {
      const float* row = rows.base + r * rows.stride;
      const float sq = self_dot(row, qs.level);
      // A value that is not finite makes the squared norm NaN or infinite (so does a square beyond
      // the float range, which is not an error): look closer only then. Such a row would make its
      // scores NaN, which the selection cannot order.
      if (!std::isfinite(sq) && (qs.skip.empty() || qs.skip[r] == 0) &&
          !std::all_of(row, row + qs.level, [](float x) { return std::isfinite(x); })) {
        throw NonFiniteValue(false, r);
      }
      const float n = norm_of(sq);
      inv_norm[r] = n > 0.0f ? 1.0f / n : 0.0f;
    }
    return false;
  };
  if (norm_parts > 1) {
    pool_for_each(norm_parts, norms);
  } else {
    norms(0);
  }
  SharedBounds bounds(qs.count);
  if (parallel && tasks.size() > 1) {
    pool_for_each(tasks.size(), [&](std::size_t i) {
      run_task(rows, qs, queries.data(), query_stride, inv_norm, bounds, tasks[i]);
      return false;
    });
  } else {
    for (Task& t : tasks) run_task(rows, qs, queries.data(), query_stride, inv_norm, bounds, t);
  }

  // Each query's lists from its row ranges, less the candidates below its shared bound (none of the k
  // best are), then the k best in order; queries side by side on the pool.
  const auto merge = [&](std::size_t q) {
    std::vector<Neighbour>& list = result[q];
    const float bound = bounds.get(q);
    const std::size_t first = q / kQueryBlock * r_parts;
    for (std::size_t i = first; i < first + r_parts; ++i) {
      for (const Neighbour& n : tasks[i].best[q - tasks[i].q_begin].items()) {
        if (n.score >= bound) list.push_back(n);
      }
    }
    const auto better = [](const Neighbour& a, const Neighbour& b) { return worse(b, a); };
    const std::size_t kept = std::min(list.size(), qs.k);
    std::partial_sort(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(kept), list.end(), better);
    list.resize(kept);
    for (Neighbour& n : list) n.score = qnorm[q] > 0.0f ? n.score / qnorm[q] : 0.0f;
    return false;
  };
  if (parallel && qs.count > 1) {
    pool_for_each(qs.count, merge);
  } else {
    for (std::size_t q = 0; q < qs.count; ++q) merge(q);
  }
  return result;
}

}  // namespace tarnivel
