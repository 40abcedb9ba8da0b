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

// The filter scan's kernel, laid out as a matrix product: rows are packed in strips of kStrip and
// queries in tiles, both component-major, so that each step broadcasts one component of each query of
// a tile and multiplies it into whole strips, adding into accumulators that hold one query's dots with
// kStrip rows (no sums across lanes). Every dot is the chain acc = fma(q[i], r[i], acc) for
// i = 0, 1, ..., whatever the build, the tile or the strip, so results are the same everywhere.
constexpr std::size_t kStrip = 16;

// Asks for the rows of strip s (if there is one) to be brought into the cache while the one before is
// packed: read across 16 rows at once, they would otherwise come from memory one wait at a time.
// (Inlined: as a function of its own it has no effect the compiler sees, and the calls are dropped.)
TARNIVEL_INLINE void prefetch_strip(const StoredRows& rows, uint64_t r0, std::size_t count, std::size_t level,
                                    std::size_t s) {
  const std::size_t bytes = level * sizeof(float);
  for (std::size_t b = s * kStrip; b < std::min(count, (s + 1) * kStrip) && bytes > 0; ++b) {
    const char* at = reinterpret_cast<const char*>(rows.base + (r0 + b) * rows.stride);
    for (std::size_t i = 0; i < bytes; i += 64) _mm_prefetch(at + i, _MM_HINT_T0);
    _mm_prefetch(at + bytes - 1, _MM_HINT_T0);
  }
}

// Rows r0 .. r0 + count - 1 over `level` components: component i of row r0 + kStrip * s + j goes to
// panel[(s * level + i) * kStrip + j]; the last strip is zero-filled.
void pack_rows(const StoredRows& rows, uint64_t r0, std::size_t count, std::size_t level, float* panel) {
  const std::size_t strips = (count + kStrip - 1) / kStrip;
  for (std::size_t s = 0; s < strips; ++s) {
    float* strip = panel + s * level * kStrip;
    prefetch_strip(rows, r0, count, level, s + 1);
    for (std::size_t j = 0; j < kStrip; ++j) {
      const std::size_t b = s * kStrip + j;
      if (b < count) {
        const float* row = rows.base + (r0 + b) * rows.stride;
        for (std::size_t i = 0; i < level; ++i) strip[i * kStrip + j] = row[i];
      } else {
        for (std::size_t i = 0; i < level; ++i) strip[i * kStrip + j] = 0.0f;
      }
    }
  }
}

// Queries 0 .. count - 1 (query a at queries + a * stride) in tiles of `tile`: component i of query
// tile * t + a goes to packed[(t * level + i) * tile + a]; the last tile is zero-filled.
void pack_queries(const float* queries, std::size_t stride, std::size_t count, std::size_t level, std::size_t tile,
                  float* packed) {
  const std::size_t tiles = (count + tile - 1) / tile;
  for (std::size_t t = 0; t < tiles; ++t) {
    for (std::size_t a = 0; a < tile; ++a) {
      const std::size_t q = t * tile + a;
      float* into = packed + t * level * tile + a;
      for (std::size_t i = 0; i < level; ++i) into[i * tile] = q < count ? queries[q * stride + i] : 0.0f;
    }
  }
}

// GCC 12's headers leave the unused merge operand of these shuffles uninitialized on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// pack_rows with 16 x 16 blocks turned in registers: the rows are read in whole vectors (the last
// block of components with a mask, which reads nothing past it), and each strip is written once.
__attribute__((target("avx512f"))) void pack_rows_avx512(const StoredRows& rows, uint64_t r0, std::size_t count,
                                                         std::size_t level, float* panel) {
  const std::size_t strips = (count + kStrip - 1) / kStrip;
  for (std::size_t s = 0; s < strips; ++s) {
    float* strip = panel + s * level * kStrip;
    const std::size_t n = std::min(kStrip, count - s * kStrip);
    const float* row = rows.base + (r0 + s * kStrip) * rows.stride;
    prefetch_strip(rows, r0, count, level, s + 1);
    for (std::size_t i0 = 0; i0 < level; i0 += 16) {
      const std::size_t width = std::min<std::size_t>(16, level - i0);
      const auto mask = static_cast<__mmask16>((1u << width) - 1);
      __m512 r[16];
      for (std::size_t j = 0; j < 16; ++j) {
        r[j] = j < n ? _mm512_maskz_loadu_ps(mask, row + j * rows.stride + i0) : _mm512_setzero_ps();
      }
      // Pairs of rows interleaved, then groups of four rows per 128-bit lane (u[4 g + m] holds rows
      // 4g .. 4g + 3 at components m, m + 4, m + 8, m + 12 in its four lanes), then the lanes regrouped.
      __m512 u[16];
      for (int g = 0; g < 4; ++g) {
        const __m512 lo01 = _mm512_unpacklo_ps(r[4 * g], r[4 * g + 1]);
        const __m512 hi01 = _mm512_unpackhi_ps(r[4 * g], r[4 * g + 1]);
        const __m512 lo23 = _mm512_unpacklo_ps(r[4 * g + 2], r[4 * g + 3]);
        const __m512 hi23 = _mm512_unpackhi_ps(r[4 * g + 2], r[4 * g + 3]);
        u[4 * g] = _mm512_shuffle_ps(lo01, lo23, 0x44);
        u[4 * g + 1] = _mm512_shuffle_ps(lo01, lo23, 0xEE);
        u[4 * g + 2] = _mm512_shuffle_ps(hi01, hi23, 0x44);
        u[4 * g + 3] = _mm512_shuffle_ps(hi01, hi23, 0xEE);
      }
      __m512 c[16];
      for (int m = 0; m < 4; ++m) {
        const __m512 v0 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0x88);
        const __m512 v1 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0xDD);
        const __m512 w0 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0x88);
        const __m512 w1 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0xDD);
        c[m] = _mm512_shuffle_f32x4(v0, w0, 0x88);
        c[m + 8] = _mm512_shuffle_f32x4(v0, w0, 0xDD);
        c[m + 4] = _mm512_shuffle_f32x4(v1, w1, 0x88);
        c[m + 12] = _mm512_shuffle_f32x4(v1, w1, 0xDD);
      }
      for (std::size_t i = 0; i < width; ++i) _mm512_store_ps(strip + (i0 + i) * kStrip, c[i]);
    }
  }
}
#pragma GCC diagnostic pop

// dots[(tile * t + a) * ld + kStrip * s + j] = query a of tile t . row j of strip s, for `tiles` tiles of
// query_tile queries and `strips` strips (panel 64-byte aligned).
using FusedDots = void (*)(const float* packed, std::size_t tiles, const float* panel, std::size_t strips,
                           std::size_t level, float* dots, std::size_t ld);
using PackRows = void (*)(const StoredRows& rows, uint64_t r0, std::size_t count, std::size_t level, float* panel);
struct FusedKernel {
  std::size_t query_tile;
  FusedDots dots;
  PackRows pack = &pack_rows;
};

// One tile of NQ queries against NS strips: NQ x NS accumulators of 16 lanes.
template <int NQ, int NS>
__attribute__((target("avx512f,fma"))) TARNIVEL_INLINE void fused_tile_avx512(const float* q, const float* p,
                                                                             std::size_t level, float* out,
                                                                             std::size_t ld) {
  const std::size_t step = level * kStrip;
  __m512 acc[NQ][NS];
  for (int a = 0; a < NQ; ++a) {
    for (int b = 0; b < NS; ++b) acc[a][b] = _mm512_setzero_ps();
  }
  for (std::size_t i = 0; i < level; ++i) {
    __m512 r[NS];
    for (int b = 0; b < NS; ++b) r[b] = _mm512_load_ps(p + b * step + i * kStrip);
    for (int a = 0; a < NQ; ++a) {
      const __m512 x = _mm512_set1_ps(q[i * NQ + a]);
      for (int b = 0; b < NS; ++b) acc[a][b] = _mm512_fmadd_ps(x, r[b], acc[a][b]);
    }
  }
  for (int a = 0; a < NQ; ++a) {
    for (int b = 0; b < NS; ++b) _mm512_storeu_ps(out + a * ld + b * kStrip, acc[a][b]);
  }
}

// Strips in groups of NS (their values stay in the first-level cache) against every tile in turn.
template <int NQ, int NS>
__attribute__((target("avx512f,fma"))) void fused_dots_avx512(const float* packed, std::size_t tiles,
                                                              const float* panel, std::size_t strips,
                                                              std::size_t level, float* dots, std::size_t ld) {
  const std::size_t step = level * kStrip;
  std::size_t s = 0;
  for (; s + NS <= strips; s += NS) {
    for (std::size_t t = 0; t < tiles; ++t) {
      fused_tile_avx512<NQ, NS>(packed + t * level * NQ, panel + s * step, level, dots + t * NQ * ld + s * kStrip, ld);
    }
  }
  for (; s < strips; ++s) {
    for (std::size_t t = 0; t < tiles; ++t) {
      fused_tile_avx512<NQ, 1>(packed + t * level * NQ, panel + s * step, level, dots + t * NQ * ld + s * kStrip, ld);
    }
  }
}

// One tile of NQ queries against one strip, as two halves of 8 lanes.
template <int NQ>
__attribute__((target("avx2,fma"))) TARNIVEL_INLINE void fused_tile_avx2(const float* q, const float* p,
                                                                       std::size_t level, float* out, std::size_t ld) {
  __m256 acc[NQ][2];
  for (int a = 0; a < NQ; ++a) acc[a][0] = acc[a][1] = _mm256_setzero_ps();
  for (std::size_t i = 0; i < level; ++i) {
    const __m256 low = _mm256_load_ps(p + i * kStrip);
    const __m256 high = _mm256_load_ps(p + i * kStrip + 8);
    for (int a = 0; a < NQ; ++a) {
      const __m256 x = _mm256_set1_ps(q[i * NQ + a]);
      acc[a][0] = _mm256_fmadd_ps(x, low, acc[a][0]);
      acc[a][1] = _mm256_fmadd_ps(x, high, acc[a][1]);
    }
  }
  for (int a = 0; a < NQ; ++a) {
    _mm256_storeu_ps(out + a * ld, acc[a][0]);
    _mm256_storeu_ps(out + a * ld + 8, acc[a][1]);
  }
}

template <int NQ>
__attribute__((target("avx2,fma"))) void fused_dots_avx2(const float* packed, std::size_t tiles, const float* panel,
                                                        std::size_t strips, std::size_t level, float* dots,
                                                        std::size_t ld) {
  for (std::size_t s = 0; s < strips; ++s) {
    for (std::size_t t = 0; t < tiles; ++t) {
      const float* q = packed + t * level * NQ;
      fused_tile_avx2<NQ>(q, panel + s * level * kStrip, level, dots + t * NQ * ld + s * kStrip, ld);
    }
  }
}

// The same chains one lane at a time (fmaf rounds once, as the vector instructions do).
template <int NQ>
void fused_dots_plain(const float* packed, std::size_t tiles, const float* panel, std::size_t strips,
                      std::size_t level, float* dots, std::size_t ld) {
  for (std::size_t s = 0; s < strips; ++s) {
    for (std::size_t t = 0; t < tiles; ++t) {
      const float* q = packed + t * level * NQ;
      const float* p = panel + s * level * kStrip;
      float acc[NQ][kStrip] = {};
      for (std::size_t i = 0; i < level; ++i) {
        for (int a = 0; a < NQ; ++a) {
          for (std::size_t j = 0; j < kStrip; ++j) acc[a][j] = std::fma(q[i * NQ + a], p[i * kStrip + j], acc[a][j]);
        }
      }
      for (int a = 0; a < NQ; ++a) std::copy_n(acc[a], kStrip, dots + (t * NQ + a) * ld + s * kStrip);
    }
  }
}

FusedKernel fused_kernel() {
  static const FusedKernel chosen = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return FusedKernel{6, &fused_dots_avx512<6, 4>, &pack_rows_avx512};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return FusedKernel{6, &fused_dots_avx2<6>};
    return FusedKernel{4, &fused_dots_plain<4>};
  }();
  return chosen;
}

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

// Which of the keys d[b] * inv[b], b < count (at most kRowBlock), are above the threshold: bit b % 64
// of bits[b / 64]. The products and comparisons of above_mask, sixteen at a time or eight.
__attribute__((target("avx512f"))) void above_bits_avx512(const float* d, const float* inv, std::size_t count,
                                                          float threshold, uint64_t* bits) {
  const __m512 t = _mm512_set1_ps(threshold);
  for (std::size_t b = 0; b < count; b += 16) {
    const auto in = static_cast<__mmask16>(b + 16 <= count ? 0xFFFFu : (1u << (count - b)) - 1);
    const __m512 key = _mm512_mul_ps(_mm512_maskz_loadu_ps(in, d + b), _mm512_maskz_loadu_ps(in, inv + b));
    bits[b / 64] |= static_cast<uint64_t>(_mm512_mask_cmp_ps_mask(in, key, t, _CMP_GT_OQ)) << (b % 64);
  }
}

void above_bits(const float* d, const float* inv, std::size_t count, float threshold, uint64_t* bits) {
  std::size_t b = 0;
  for (; b + 8 <= count; b += 8) {
    bits[b / 64] |= static_cast<uint64_t>(above_mask(d + b, inv + b, threshold)) << (b % 64);
  }
  for (; b < count; ++b) bits[b / 64] |= static_cast<uint64_t>(d[b] * inv[b] > threshold) << (b % 64);
}

using AboveBits = void (*)(const float*, const float*, std::size_t, float, uint64_t*);
AboveBits above_bits_fn() {
  static const AboveBits chosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") ? &above_bits_avx512 : &above_bits;
  }();
  return chosen;
}

// 1 / the norm of row r's prefix from its squared norm `sq` (0 for a zero row, whose score is 0). A
// value that is not finite makes sq NaN or infinite (so does a square beyond the float range, which is
// not an error): the row is looked at closer only then. Such a row would make its scores NaN, which
// the selection cannot order.
float inverse_norm(const StoredRows& rows, const BatchQueries& qs, uint64_t r, float sq) {
  if (!std::isfinite(sq) && (qs.skip.empty() || qs.skip[r] == 0)) {
    const float* row = rows.base + r * rows.stride;
    if (!std::all_of(row, row + qs.level, [](float x) { return std::isfinite(x); })) throw NonFiniteValue(false, r);
  }
  const float n = norm_of(sq);
  return n > 0.0f ? 1.0f / n : 0.0f;
}

// The squared norms of the rows of a panel: each row's squares added in component order.
void panel_squares(const float* panel, std::size_t strips, std::size_t level, float* sq) {
  for (std::size_t s = 0; s < strips; ++s) {
    const float* p = panel + s * level * kStrip;
    float acc[kStrip] = {};
    for (std::size_t i = 0; i < level; ++i) {
      for (std::size_t j = 0; j < kStrip; ++j) {
        const float x = p[i * kStrip + j];
        const float xx = x * x;
        acc[j] += xx;
      }
    }
    std::copy_n(acc, kStrip, sq + s * kStrip);
  }
}

// Candidates are ranked by key = dot / |row| (the score times the query norm, the same order for a
// query); the score itself, key / |query|, is worked out for the kept ones only. The filter scan
// works out the row norms from its panels (the rows are read once); the others get them in inv_norm.
void run_task(const StoredRows& rows, const BatchQueries& qs, const float* queries, std::size_t query_stride,
              const std::vector<float>& inv_norm, SharedBounds& bounds, Task& task) {
  const std::size_t nq = task.q_end - task.q_begin;
  const float* task_queries = queries + task.q_begin * query_stride;
  std::vector<const float*> qp(nq);
  for (std::size_t a = 0; a < nq; ++a) qp[a] = task_queries + a * query_stride;
  std::vector<const float*> rp(kRowBlock);
  std::vector<const float*> tp(kRowBlock);
  std::vector<float> tails(kRowBlock * 8);
  const BlockDots dots_fn = block_dots();
  const bool has_tail = qs.level % 8 != 0;
  // The filter scan's packed queries (once per task) and row panel (once per block of rows).
  const FusedKernel fused = fused_kernel();
  const std::size_t tiles = qs.fused_sums ? (nq + fused.query_tile - 1) / fused.query_tile : 0;
  std::vector<float> packed(tiles * fused.query_tile * qs.level);
  std::vector<float> panel_store(qs.fused_sums ? kRowBlock * qs.level + kStrip : 0);
  float* panel = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(panel_store.data()) + 63) & ~uintptr_t{63});
  if (qs.fused_sums) pack_queries(task_queries, query_stride, nq, qs.level, fused.query_tile, packed.data());
  std::vector<float> dots(std::max(nq, tiles * fused.query_tile) * kRowBlock);
  std::vector<float> block_inv(qs.fused_sums ? kRowBlock : 0);
  const AboveBits above = above_bits_fn();
  task.best.assign(nq, Best(qs.k));
  for (uint64_t r0 = task.r_begin; r0 < task.r_end; r0 += kRowBlock) {
    const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(kRowBlock, task.r_end - r0));
    std::size_t ld = count;  // from one query's dots to the next
    if (qs.fused_sums) {
      const std::size_t strips = (count + kStrip - 1) / kStrip;
      ld = strips * kStrip;
      fused.pack(rows, r0, count, qs.level, panel);
      fused.dots(packed.data(), tiles, panel, strips, qs.level, dots.data(), ld);
      panel_squares(panel, strips, qs.level, block_inv.data());
      for (std::size_t b = 0; b < count; ++b) block_inv[b] = inverse_norm(rows, qs, r0 + b, block_inv[b]);
    } else {
      for (std::size_t b = 0; b < count; ++b) {
        rp[b] = rows.base + (r0 + b) * rows.stride;
        tp[b] = tails.data() + b * 8;
        if (has_tail) copy_tail(rp[b], qs.level, tails.data() + b * 8);
      }
      dots_fn(qp.data(), nq, rp.data(), tp.data(), count, qs.level, dots.data());
    }
    const float* inv = qs.fused_sums ? block_inv.data() : inv_norm.data() + r0;
    for (std::size_t a = 0; a < nq; ++a) {
      const std::size_t q = task.q_begin + a;
      const uint64_t* excluded = qs.exclude_width == 0 ? nullptr : qs.exclude.data() + q * qs.exclude_width;
      Best& best = task.best[a];
      const float* d = dots.data() + a * ld;
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
      // are passed over with one comparison; in the others only the keys above it are looked at. The
      // filter scan tests the whole block at once, against the threshold at its start.
      if (qs.fused_sums) {
        uint64_t bits[kRowBlock / 64] = {};
        above(d, inv, count, threshold, bits);
        for (std::size_t w = 0; w < kRowBlock / 64; ++w) {
          for (uint64_t m = bits[w]; m != 0; m &= m - 1) consider(w * 64 + std::size_t(__builtin_ctzll(m)));
        }
        continue;
      }
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
  // 1 / norm of every row prefix, once: a float per row, not a copy of the rows.
  std::vector<float> inv_norm(qs.fused_sums ? 0 : rows.rows);
  const std::size_t norm_parts =
      parallel ? std::clamp<std::size_t>(static_cast<std::size_t>(rows.rows / 1024), 1, 4 * worker_pool_size()) : 1;
  const auto norms = [&](std::size_t p) {
    const uint64_t begin = rows.rows * p / norm_parts;
    const uint64_t end = rows.rows * (p + 1) / norm_parts;
    for (uint64_t r = begin; r < end; ++r) {
      inv_norm[r] = inverse_norm(rows, qs, r, self_dot(rows.base + r * rows.stride, qs.level));
    }
    return false;
  };
  if (!qs.fused_sums && norm_parts > 1) {
    pool_for_each(norm_parts, norms);
  } else if (!qs.fused_sums) {
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
