#include "training/sg_dataflow.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/pinned.hpp"
#include "ops/fast_ops.hpp"
#include "ops/vector_ops.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace tarnivel {

namespace {

// A block ends at the first position boundary after this many updates: enough to keep the lanes
// busy far from the block's end, small enough that the block's bookkeeping stays in the core's
// caches. (A single position with a huge window may exceed it; its block then holds just that
// position.)
constexpr std::size_t kBlockUpdates = 2048;

// Admitted runs the executor looks at per round. The chains of updates that neighbouring positions
// share leave about 2.3 updates ready per round on natural text, so a few runs suffice, and each
// round's scan over them stays short.
constexpr std::size_t kSlots = 6;

// How many updates of a run (its current one included) have their output rows requested: a round
// takes about as long as a row takes to arrive from memory, so the row of the update after the next
// is asked for while the next one runs. (Measured: one or four ahead did no better.)
constexpr uint32_t kPrefetchAhead = 2;

// Negative samples drawn together ahead of their bookkeeping (see the draw loop).
constexpr std::size_t kDrawGroup = 16;

// One prefix segment of a level: components [begin, end) are new to this level; the level's update
// covers 0 .. end-1.
using Segment = PrefixSegment;

// a[j] = a0 + g*b0, b[j] = b0 + g*a0 for j < n (old values): pair_update on raw rows.
inline void pair_update_rows(float* a, float* b, std::size_t n, float g) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128 gv = _mm_set1_ps(g);
  for (; j + 4 <= n; j += 4) {
    const __m128 a0 = _mm_loadu_ps(a + j);
    const __m128 b0 = _mm_loadu_ps(b + j);
    _mm_storeu_ps(a + j, _mm_add_ps(a0, _mm_mul_ps(gv, b0)));
    _mm_storeu_ps(b + j, _mm_add_ps(b0, _mm_mul_ps(gv, a0)));
  }
#endif
  for (; j < n; ++j) {
    const float a0 = a[j];
    const float b0 = b[j];
    a[j] = a0 + g * b0;
    b[j] = b0 + g * a0;
  }
}

#if defined(__SSE2__)

// The new segment's sums for G groups of four lanes: lane r of group q continues the chains of rows
// a[4q + r], b[4q + r]. Per element j, the rounded products of all lanes are added lane-wise (one
// float addition per lane, in ascending j), so each lane follows exactly the sequence of the scalar
// loop. Four elements of four rows are loaded and transposed so that one register holds element j
// of four rows.
template <std::size_t G>
void segment_sums(const float* const* a, const float* const* b, std::size_t begin, std::size_t end,
                  float* dot, float* sq_a, float* sq_b) {
  __m128 vd[G];
  __m128 va[G];
  __m128 vb[G];
  for (std::size_t q = 0; q < G; ++q) {
    vd[q] = _mm_loadu_ps(dot + 4 * q);
    va[q] = _mm_loadu_ps(sq_a + 4 * q);
    vb[q] = _mm_loadu_ps(sq_b + 4 * q);
  }
  std::size_t j = begin;
  for (; j + 4 <= end; j += 4) {
    for (std::size_t q = 0; q < G; ++q) {
      const float* const* ra = a + 4 * q;
      const float* const* rb = b + 4 * q;
      __m128 a0 = _mm_loadu_ps(ra[0] + j);
      __m128 a1 = _mm_loadu_ps(ra[1] + j);
      __m128 a2 = _mm_loadu_ps(ra[2] + j);
      __m128 a3 = _mm_loadu_ps(ra[3] + j);
      __m128 b0 = _mm_loadu_ps(rb[0] + j);
      __m128 b1 = _mm_loadu_ps(rb[1] + j);
      __m128 b2 = _mm_loadu_ps(rb[2] + j);
      __m128 b3 = _mm_loadu_ps(rb[3] + j);
      _MM_TRANSPOSE4_PS(a0, a1, a2, a3);  // a_i: element j + i of the four rows
      _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
      vd[q] = _mm_add_ps(vd[q], _mm_mul_ps(a0, b0));
      va[q] = _mm_add_ps(va[q], _mm_mul_ps(a0, a0));
      vb[q] = _mm_add_ps(vb[q], _mm_mul_ps(b0, b0));
      vd[q] = _mm_add_ps(vd[q], _mm_mul_ps(a1, b1));
      va[q] = _mm_add_ps(va[q], _mm_mul_ps(a1, a1));
      vb[q] = _mm_add_ps(vb[q], _mm_mul_ps(b1, b1));
      vd[q] = _mm_add_ps(vd[q], _mm_mul_ps(a2, b2));
      va[q] = _mm_add_ps(va[q], _mm_mul_ps(a2, a2));
      vb[q] = _mm_add_ps(vb[q], _mm_mul_ps(b2, b2));
      vd[q] = _mm_add_ps(vd[q], _mm_mul_ps(a3, b3));
      va[q] = _mm_add_ps(va[q], _mm_mul_ps(a3, a3));
      vb[q] = _mm_add_ps(vb[q], _mm_mul_ps(b3, b3));
    }
  }
  for (; j < end; ++j) {
    for (std::size_t q = 0; q < G; ++q) {
      const float* const* ra = a + 4 * q;
      const float* const* rb = b + 4 * q;
      const __m128 av = _mm_setr_ps(ra[0][j], ra[1][j], ra[2][j], ra[3][j]);
      const __m128 bv = _mm_setr_ps(rb[0][j], rb[1][j], rb[2][j], rb[3][j]);
      vd[q] = _mm_add_ps(vd[q], _mm_mul_ps(av, bv));
      va[q] = _mm_add_ps(va[q], _mm_mul_ps(av, av));
      vb[q] = _mm_add_ps(vb[q], _mm_mul_ps(bv, bv));
    }
  }
  for (std::size_t q = 0; q < G; ++q) {
    _mm_storeu_ps(dot + 4 * q, vd[q]);
    _mm_storeu_ps(sq_a + 4 * q, va[q]);
    _mm_storeu_ps(sq_b + 4 * q, vb[q]);
  }
}

// The new segment's sums for two lanes (rows a[0], b[0] and a[1], b[1]) in lanes 0 and 1 of each
// register: interleaving the two rows' elements puts element j of both rows in lanes 0-1 and
// element j + 1 in lanes 2-3, which are moved down and added next, so each lane still adds its row's
// rounded products one at a time in ascending order. Lanes 2-3 of the accumulators collect values
// that are dropped. Fewer shuffles and multiplies than four transposed lanes, and most rounds run
// one or two updates.
void segment_sums_pair(const float* const* a, const float* const* b, std::size_t begin,
                       std::size_t end, float* dot, float* sq_a, float* sq_b) {
  __m128 vd = _mm_setr_ps(dot[0], dot[1], 0.0f, 0.0f);
  __m128 va = _mm_setr_ps(sq_a[0], sq_a[1], 0.0f, 0.0f);
  __m128 vb = _mm_setr_ps(sq_b[0], sq_b[1], 0.0f, 0.0f);
  auto add_two = [](__m128& acc, __m128 p) {
    acc = _mm_add_ps(acc, p);                   // element j (lanes 0-1)
    acc = _mm_add_ps(acc, _mm_movehl_ps(p, p));  // element j + 1
  };
  std::size_t j = begin;
  for (; j + 4 <= end; j += 4) {
    const __m128 a0 = _mm_loadu_ps(a[0] + j);
    const __m128 a1 = _mm_loadu_ps(a[1] + j);
    const __m128 b0 = _mm_loadu_ps(b[0] + j);
    const __m128 b1 = _mm_loadu_ps(b[1] + j);
    const __m128 alo = _mm_unpacklo_ps(a0, a1);  // a0[j], a1[j], a0[j+1], a1[j+1]
    const __m128 ahi = _mm_unpackhi_ps(a0, a1);  // a0[j+2], a1[j+2], a0[j+3], a1[j+3]
    const __m128 blo = _mm_unpacklo_ps(b0, b1);
    const __m128 bhi = _mm_unpackhi_ps(b0, b1);
    const __m128 dlo = _mm_mul_ps(alo, blo);
    const __m128 alo2 = _mm_mul_ps(alo, alo);
    const __m128 blo2 = _mm_mul_ps(blo, blo);
    const __m128 dhi = _mm_mul_ps(ahi, bhi);
    const __m128 ahi2 = _mm_mul_ps(ahi, ahi);
    const __m128 bhi2 = _mm_mul_ps(bhi, bhi);
    add_two(vd, dlo);
    add_two(va, alo2);
    add_two(vb, blo2);
    add_two(vd, dhi);
    add_two(va, ahi2);
    add_two(vb, bhi2);
  }
  for (; j < end; ++j) {
    const __m128 av = _mm_setr_ps(a[0][j], a[1][j], 0.0f, 0.0f);
    const __m128 bv = _mm_setr_ps(b[0][j], b[1][j], 0.0f, 0.0f);
    vd = _mm_add_ps(vd, _mm_mul_ps(av, bv));
    va = _mm_add_ps(va, _mm_mul_ps(av, av));
    vb = _mm_add_ps(vb, _mm_mul_ps(bv, bv));
  }
  alignas(16) float out[4];
  _mm_store_ps(out, vd);
  dot[0] = out[0];
  dot[1] = out[1];
  _mm_store_ps(out, va);
  sq_a[0] = out[0];
  sq_a[1] = out[1];
  _mm_store_ps(out, vb);
  sq_b[0] = out[0];
  sq_b[1] = out[1];
}

#endif

// k <= 4 * G updates in lock-step through the segments (G = 0: at most two, in the two-lane form). Lanes beyond k read row 0 of the call
// (never written while they read it: the sums of a segment are all formed before any update) and
// their results are dropped.
template <std::size_t G>
void lanes_impl(float* const* a, float* const* b, const float* labels, std::size_t k,
                const Segment* segs, std::size_t nseg, float lr_eff) {
  constexpr std::size_t W = G == 0 ? 2 : 4 * G;
  const float* ra[W];
  const float* rb[W];
  for (std::size_t r = 0; r < W; ++r) {
    ra[r] = r < k ? a[r] : a[0];
    rb[r] = r < k ? b[r] : b[0];
  }
  float dot[W] = {};
  float sq_a[W] = {};
  float sq_b[W] = {};
  float g[W];
  for (std::size_t s = 0; s < nseg; ++s) {
    const Segment seg = segs[s];
#if defined(__SSE2__)
    if constexpr (G == 0) {
      segment_sums_pair(ra, rb, seg.begin, seg.end, dot, sq_a, sq_b);
    } else {
      segment_sums<G>(ra, rb, seg.begin, seg.end, dot, sq_a, sq_b);
    }
#else
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t j = seg.begin; j < seg.end; ++j) {
        dot[r] += ra[r][j] * rb[r][j];
        sq_a[r] += ra[r][j] * ra[r][j];
        sq_b[r] += rb[r][j] * rb[r][j];
      }
    }
#endif
    for (std::size_t r = 0; r < k; ++r) g[r] = logistic_gradient(dot[r], labels[r], lr_eff);
    for (std::size_t r = 0; r < k; ++r) pair_update_rows(a[r], b[r], seg.end, g[r]);
    for (std::size_t r = 0; r < k; ++r) carry_pair_statistics(dot[r], sq_a[r], sq_b[r], g[r]);
  }
}

void run_lanes(float* const* a, float* const* b, const float* labels, std::size_t k,
               const Segment* segs, std::size_t nseg, float lr_eff) {
  if (k == 0 || nseg == 0) return;
  if (k <= 2) {
    lanes_impl<0>(a, b, labels, k, segs, nseg, lr_eff);
    return;
  }
  if (k <= 4) {
    lanes_impl<1>(a, b, labels, k, segs, nseg, lr_eff);
  } else {
    lanes_impl<2>(a, b, labels, k, segs, nseg, lr_eff);
  }
}

// Last update of the current block touching each row: an open-addressing table from row index to
// the last update (or run) on it, sized to at least twice the block's entries. It stays in the
// core's first-level cache, where an array over all rows would miss on almost every look-up. Each
// entry carries the block's generation, so that starting a block empties the table without
// clearing it (a sentence is usually one short block, and clearing cost as much as its look-ups).
class LastTouch {
 public:
  // Empties the table and makes room for `entries` insertions.
  void begin_block(std::size_t entries) {
    std::size_t want = 1024;
    while (want < 2 * entries) want *= 2;
    if (slots_.size() != want || ++generation_ == 0) {
      slots_.assign(want, Slot{});
      generation_ = 1;
    }
    count_ = 0;
  }
  // Room for `more` insertions beyond the current ones (rehashes into a larger table if needed; only
  // a position with a window far wider than usual fills a block's table).
  void reserve(std::size_t more) {
    if (2 * (count_ + more) <= slots_.size()) return;
    std::vector<Slot> old = std::move(slots_);
    std::size_t want = old.size();
    while (want < 2 * (count_ + more)) want *= 2;
    const uint32_t live = generation_;
    slots_.assign(want, Slot{});
    generation_ = 1;
    count_ = 0;
    for (const Slot& slot : old) {
      if (slot.generation == live) exchange(slot.row, slot.value);
    }
  }
  // The previous entry of this block for `row` (-1: none), replaced by `index`.
  int32_t exchange(uint64_t row, int32_t index) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = static_cast<std::size_t>((row * 0x9E3779B97F4A7C15ull) >> 40) & mask;
    for (;;) {
      Slot& slot = slots_[at];
      if (slot.generation != generation_) {
        slot = {row, index, generation_};
        ++count_;
        return -1;
      }
      if (slot.row == row) return std::exchange(slot.value, index);
      at = (at + 1) & mask;
    }
  }

 private:
  struct Slot {
    uint64_t row = 0;
    int32_t value = -1;
    uint32_t generation = 0;  // the block that filled it; another block sees it empty
  };
  std::vector<Slot> slots_;
  uint32_t generation_ = 0;
  std::size_t count_ = 0;
};

// One row update of a block: the output row, its label, and the last earlier update on the same
// output row (-1: none).
struct Update {
  float* b;
  int32_t dep;
  float label;
};

// The updates of one centre position: [begin, end) of the block, all on input row `a`; `dep` is
// the last update of an earlier run on the same input row (an earlier occurrence of the word).
struct Run {
  float* a;
  uint32_t begin;
  uint32_t end;
  int32_t dep;
};

// A thread's block storage; it only grows, so steady training allocates nothing.
struct BlockState {
  std::vector<Run> runs;
  std::vector<Update> updates;
  std::vector<uint8_t> done;
  LastTouch in_last;
  LastTouch out_last;
};

BlockState& block_state() {
  thread_local BlockState state;
  return state;
}

// Executes the drawn block. Each round takes, from up to kSlots admitted runs (in sentence order),
// the next update of every run whose dependencies are done, at most kScheduleLanes of them, and runs
// them side by side. Updates that are ready together touch pairwise distinct rows (an update sharing
// a row with an earlier pending one depends on it, directly or through the chain of updates on that
// row), and the earliest pending update is always ready, so every round makes progress.
void execute_block(BlockState& st, const Segment* segs, std::size_t nseg, std::size_t widest,
                   float lr_eff, const FastOps* fast, const LevelShape& shape) {
  struct Slot {
    uint32_t run;
    uint32_t cur;
  };
  Slot slots[kSlots];
  std::size_t used = 0;
  std::size_t next_run = 0;
  const std::vector<Run>& runs = st.runs;
  const std::vector<Update>& updates = st.updates;
  uint8_t* done = st.done.data();
  ScheduleStats local;
#if defined(TARNIVEL_SCHEDULE_PROFILE)
  {
    std::vector<uint32_t> depth(updates.size(), 0);
    uint32_t longest = 0;
    for (const Run& run : runs) {
      uint32_t prev = run.dep < 0 ? 0 : depth[run.dep];
      for (uint32_t u = run.begin; u < run.end; ++u) {
        const uint32_t d = updates[u].dep < 0 ? 0 : depth[updates[u].dep];
        depth[u] = std::max(prev, d) + 1;
        prev = depth[u];
      }
      longest = std::max(longest, prev);
    }
    local.critical_path = longest;
  }
#endif
  float* a[kScheduleLanes];
  float* b[kScheduleLanes];
  float labels[kScheduleLanes];
  uint32_t picked[kScheduleLanes];
  for (;;) {
    while (used < kSlots && next_run < runs.size()) {
      const Run& run = runs[next_run];
      if (kPrefetchAhead > 0) kernel_detail::prefetch_for_write(run.a, widest);
      for (uint32_t u = run.begin; u < std::min(run.end, run.begin + kPrefetchAhead); ++u) {
        kernel_detail::prefetch_for_write(updates[u].b, widest);
      }
      slots[used++] = {static_cast<uint32_t>(next_run), run.begin};
      ++next_run;
    }
    if (used == 0) break;
    std::size_t k = 0;
    for (std::size_t s = 0; s < used && k < kScheduleLanes; ++s) {
      const Run& run = runs[slots[s].run];
      const uint32_t u = slots[s].cur;
      const Update& up = updates[u];
      const bool ready = (up.dep < 0 || done[up.dep] != 0) &&
                         (u != run.begin || run.dep < 0 || done[run.dep] != 0);
      if (!ready) {
        ++local.stalled_lanes;
#if defined(TARNIVEL_SCHEDULE_PROFILE)
        if (up.dep >= 0 && done[up.dep] == 0) {
          ++(updates[up.dep].label != 0.0f ? local.waits_on_positive : local.waits_on_negative);
        } else {
          ++local.waits_on_centre;
        }
#endif
        continue;
      }
      a[k] = run.a;
      b[k] = up.b;
      labels[k] = up.label;
      picked[k++] = static_cast<uint32_t>(s);
    }
    local.idle_lanes += kScheduleLanes - std::min(used, kScheduleLanes);
    ++local.rounds;
    local.updates += k;
    ++local.rounds_by_width[k];
    if (fast != nullptr) {
      fast->level_pairs(a, b, labels, k, segs, nseg, shape, lr_eff);
    } else {
      run_lanes(a, b, labels, k, segs, nseg, lr_eff);
    }
    for (std::size_t r = 0; r < k; ++r) {
      Slot& slot = slots[picked[r]];
      done[slot.cur] = 1;
      ++slot.cur;
      if (kPrefetchAhead > 0 && slot.cur + kPrefetchAhead - 1 < runs[slot.run].end) {
        kernel_detail::prefetch_for_write(updates[slot.cur + kPrefetchAhead - 1].b, widest);
      }
    }
    // Drop finished runs, keeping the others in sentence order.
    std::size_t kept = 0;
    for (std::size_t s = 0; s < used; ++s) {
      if (slots[s].cur < runs[slots[s].run].end) slots[kept++] = slots[s];
    }
    used = kept;
  }
  ScheduleStats& total = schedule_stats();
  total.rounds += local.rounds;
  total.updates += local.updates;
  total.stalled_lanes += local.stalled_lanes;
  total.idle_lanes += local.idle_lanes;
  total.critical_path += local.critical_path;
  total.waits_on_positive += local.waits_on_positive;
  total.waits_on_negative += local.waits_on_negative;
  total.waits_on_centre += local.waits_on_centre;
  for (std::size_t w = 0; w <= kScheduleLanes; ++w) total.rounds_by_width[w] += local.rounds_by_width[w];
}

// Asks for the cache lines of row[0..n) into the core's second-level cache: a block's rows, asked
// for while it is drawn, are near by the time its updates run (a sentence's rows fit that cache).
inline void request_row(const float* row, std::size_t n) {
#if defined(__SSE2__)
  const char* bytes = reinterpret_cast<const char*>(row);
  for (std::size_t off = 0; off < n * sizeof(float); off += 64) {
    _mm_prefetch(bytes + off, _MM_HINT_T1);
  }
#else
  (void)row;
  (void)n;
#endif
}

std::size_t rows_of(std::span<float> data, std::size_t dim) {
  return dim == 0 ? 0 : data.size() / dim;
}

// Draws position i's reduced window (the first draw of a position) and returns its context range
// [start, end) in a sentence of n words.
std::pair<std::size_t, std::size_t> draw_window(ChaChaStream& stream, uint64_t window,
                                                std::size_t i, std::size_t n) {
  const uint64_t w = window - stream.in_closed_range(0, window);
  const std::size_t start = w <= i ? static_cast<std::size_t>(i - w) : 0;
  const std::size_t end = w >= n - 1 - i ? n : static_cast<std::size_t>(i + w + 1);
  return {start, end};
}

// Draws the targets of position i's pairs in the pair-at-a-time order and hands each to add(target,
// label): per context position in [start, end) but i, the context word (label 1), then `samples`
// negatives. The samples are drawn a group at a time before any is handed over, so that their table
// look-ups are in flight together instead of each waiting behind the last one's bookkeeping.
template <class Add>
void draw_pairs(std::span<const uint64_t> s, std::size_t i, std::size_t start, std::size_t end,
                uint64_t samples, const AliasTable* table, ChaChaStream& stream, Add&& add) {
  const std::size_t table_size = samples > 0 ? table->size() : 0;
  for (std::size_t c = start; c < end; ++c) {
    if (c == i) continue;
    const uint64_t context = s[c];
    add(context, 1.0f);
    for (uint64_t k = 0; k < samples;) {
      uint64_t drawn[kDrawGroup];
      const auto group = static_cast<std::size_t>(std::min<uint64_t>(kDrawGroup, samples - k));
      for (std::size_t d = 0; d < group; ++d) drawn[d] = table->sample(stream);
      for (std::size_t d = 0; d < group; ++d) {
        add(replace_target(drawn[d], context, table_size), 0.0f);
      }
      k += group;
    }
  }
}

// The drawn updates of one position for the grouped routine: all on input row `a`.
struct DrawnPosition {
  float* a = nullptr;
  std::vector<float*> rows;
  std::vector<float> labels;
  std::vector<uint64_t> targets;
};

// Trains a drawn position as consecutive groups of distinct output rows (a group ends before a row
// it already holds, whose update must read the earlier one's result, or when it is full).
void train_drawn(DrawnPosition& p, std::size_t n, float lr_eff, const FastOps& fast) {
  const std::size_t count = p.rows.size();
  std::size_t start = 0;
  while (start < count) {
    std::size_t end = start + 1;
    while (end < count && end - start < kPairGroup &&
           std::find(p.targets.begin() + static_cast<std::ptrdiff_t>(start),
                     p.targets.begin() + static_cast<std::ptrdiff_t>(end),
                     p.targets[end]) == p.targets.begin() + static_cast<std::ptrdiff_t>(end)) {
      ++end;
    }
    fast.pair_group(p.a, p.rows.data() + start, p.labels.data() + start, end - start, n, lr_eff);
    start = end;
  }
  p.rows.clear();
  p.labels.clear();
  p.targets.clear();
  p.a = nullptr;
}

}  // namespace

ScheduleStats& schedule_stats() {
  thread_local ScheduleStats stats;
  return stats;
}

void level_pair_lanes(float* const* a, float* const* b, const float* labels, std::size_t k,
                      std::size_t dim, std::span<const uint64_t> levels, float lr_eff) {
  TARNIVEL_CHECK(k <= kScheduleLanes, "too many updates for one round");
  std::vector<Segment> segs(levels.size());
  const std::size_t nseg = prefix_segments(levels, dim, segs.data());
  run_lanes(a, b, labels, k, segs.data(), nseg, lr_eff);
}

namespace {

// The fast arithmetic with one level: each position's updates are drawn one position ahead of
// their training (so that their rows are requested a whole position before they are needed) and
// trained in groups through FastOps::pair_group, strictly in order. Stop flag and probe as in the
// scheduled routine: the flag is read before a position is drawn, the probe asked with every drawn
// position trained.
bool train_sg_negative_grouped(std::span<const uint64_t> s, ChaChaStream& stream,
                               const TrainParams& params, const AliasTable* table,
                               const PlainMatrices& m, std::atomic<bool>& stop,
                               SignalProbe* probe, const FastOps& fast, std::size_t width) {
  const std::size_t n = s.size();
  const std::size_t dim = m.dim;
  const std::size_t in_rows = rows_of(m.input, dim);
  const std::size_t out_rows = rows_of(m.output, dim);
  const float lr_eff = params.lr / mean_divisor(params.levels.size());
  const bool sampling = table != nullptr && !table->empty();
  const uint64_t samples = sampling ? params.negative : 0;
  const auto input_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->input.row(r) : m.input.data() + r * dim;
  };
  const auto output_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->output.row(r) : m.output.data() + r * dim;
  };
  thread_local DrawnPosition buffers[2];
  DrawnPosition* pending = pinned(&buffers[0]);  // drawn, not yet trained
  DrawnPosition* fresh = pinned(&buffers[1]);    // being drawn
  for (DrawnPosition* p : {pending, fresh}) {
    p->rows.clear();
    p->labels.clear();
    p->targets.clear();
    p->a = nullptr;
  }
  const auto flush = [&] {
    if (pending->a != nullptr) train_drawn(*pending, width, lr_eff, fast);
  };
  const auto add = [&](uint64_t target, float label) {
    TARNIVEL_CHECK(target < out_rows, "row index out of range of the weight matrix");
    float* row = output_row(target);
    kernel_detail::prefetch_for_write(row, width);
    fresh->rows.push_back(row);
    fresh->labels.push_back(label);
    fresh->targets.push_back(target);
  };
  // Saturating count of row components drawn since the probe was last asked.
  uint64_t work = 0;
  const auto draw = [&](std::size_t i, std::size_t start, std::size_t end) {
    TARNIVEL_CHECK(s[i] < in_rows, "row index out of range of the weight matrix");
    fresh->a = input_row(s[i]);
    kernel_detail::prefetch_for_write(fresh->a, width);
    draw_pairs(s, i, start, end, samples, table, stream, add);
    const uint64_t components = fresh->rows.size() * std::max<uint64_t>(width, 1);
    work = work + components < work ? ~uint64_t{0} : work + components;
    // The previous position trains while this one's rows arrive.
    flush();
    std::swap(pending, fresh);
  };
  return drawn_positions(n, params.window, stream, stop, probe, work, draw, flush);
}

}  // namespace

bool train_sg_negative_scheduled(std::span<const uint64_t> s, ChaChaStream& stream,
                                 const TrainParams& params, const AliasTable* table,
                                 PlainMatrices m, std::atomic<bool>& stop, SignalProbe* probe) {
  const std::size_t n = s.size();
  const std::size_t dim = m.dim;
  const std::size_t in_rows = rows_of(m.input, dim);
  const std::size_t out_rows = rows_of(m.output, dim);
  const std::span<const uint64_t> levels(params.levels);
  // Every width in the list counts for the rate, also those the update skips.
  const float lr_eff = params.lr / mean_divisor(levels.size());
  const bool sampling = table != nullptr && !table->empty();
  const uint64_t samples = sampling ? params.negative : 0;
  const FastOps* const fast = params.arithmetic == Arithmetic::kFast ? &fast_ops() : nullptr;

  // The segments live in this call's own storage: the probe's signal handlers may train on this
  // thread meanwhile, and a buffer of the thread could move under this call.
  Segment seg_stack[8];
  std::vector<Segment> seg_heap(levels.size() > std::size(seg_stack) ? levels.size() : 0);
  Segment* const segs = seg_heap.empty() ? seg_stack : seg_heap.data();
  const std::size_t nseg = prefix_segments(levels, dim, segs);
  const std::size_t widest = nseg == 0 ? 0 : segs[nseg - 1].end;

  // Rows by index; in unlocked threaded mode the hottest are this thread's copies.
  const auto input_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->input.row(r) : m.input.data() + r * dim;
  };
  const auto output_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->output.row(r) : m.output.data() + r * dim;
  };

  if (fast != nullptr && nseg == 1) {
    return train_sg_negative_grouped(s, stream, params, table, m, stop, probe, *fast, widest);
  }

  // How the fast kernels walk the segments, made once for the sentence.
  LevelShape shape;
  if (fast != nullptr) fast->shape_levels(segs, nseg, &shape);
  BlockState& st = *pinned(&block_state());
  std::size_t i = 0;
  bool interrupted = false;
  // Row components drawn since the probe was last asked (saturating): with a large `negative` a few
  // positions are seconds of work, so the probe is also asked once this reaches
  // kWorkBetweenSignalChecks, at the next position (a block ends there, as it does before a probe position).
  uint64_t work = 0;
  uint64_t widths = 0;
  for (const uint64_t level : levels) widths += std::min<uint64_t>(level, dim);
  while (i < n && !interrupted) {
    // Draw a block: positions from i on, in the pair-at-a-time routine's stream order.
    st.runs.clear();
    st.updates.clear();
    st.in_last.begin_block(kBlockUpdates);
    st.out_last.begin_block(kBlockUpdates);
    for (; i < n; ++i) {
      // The stop flag is looked at where the pair-at-a-time routine looks at it: before drawing
      // position i, with every earlier position drawn. The block drawn so far is still executed
      // below, so the matrices and the stream end exactly where that routine stops.
      if (stop.load(std::memory_order_relaxed)) {
        interrupted = true;
        break;
      }
      if (probe != nullptr && ((i & kProbePositionMask) == 0 || work >= kWorkBetweenSignalChecks)) {
        // The probe may run signal handlers, which may look at the weights: they must hold every
        // earlier position's updates, so the block ends here and the probe is asked at the start
        // of the next one.
        if (!st.updates.empty()) break;
        work = 0;
        const bool signalled = probe->interrupted();
        // A handler may have trained on this thread through the same block state; this block is
        // still empty, so it starts afresh.
        st.runs.clear();
        st.updates.clear();
        st.in_last.begin_block(kBlockUpdates);
        st.out_last.begin_block(kBlockUpdates);
        if (signalled) {
          stop.store(true, std::memory_order_relaxed);
          interrupted = true;
          break;
        }
      }
      if (st.updates.size() >= kBlockUpdates) break;
      // The window draw comes before any sample drawn for this position.
      const auto [start, end] = draw_window(stream, params.window, i, n);
      const uint64_t center = s[i];
      if (start + 1 >= end) continue;  // no context position
      TARNIVEL_CHECK(center < in_rows, "row index out of range of the weight matrix");
      st.in_last.reserve(1);
      float* const in_row = input_row(center);
      request_row(in_row, widest);
      Run run{in_row, static_cast<uint32_t>(st.updates.size()), 0, -1};
      auto push = [&](uint64_t target, float label) {
        TARNIVEL_CHECK(target < out_rows, "row index out of range of the weight matrix");
        const auto index = static_cast<int32_t>(st.updates.size());
        st.out_last.reserve(1);
        float* row = output_row(target);
        request_row(row, widest);
        st.updates.push_back({row, st.out_last.exchange(target, index), label});
      };
      draw_pairs(s, i, start, end, samples, table, stream, push);
      const uint64_t drawn = (st.updates.size() - run.begin) * std::max<uint64_t>(widths, 1);
      work = work + drawn < work ? ~uint64_t{0} : work + drawn;
      run.end = static_cast<uint32_t>(st.updates.size());
      run.dep = st.in_last.exchange(center, static_cast<int32_t>(run.end - 1));
      st.runs.push_back(run);
    }
    if (st.updates.empty()) continue;
    TARNIVEL_CHECK(st.updates.size() < (uint64_t{1} << 31), "too many updates in one block");
    st.done.assign(st.updates.size(), 0);
    execute_block(st, segs, nseg, widest, lr_eff, fast, shape);
  }
  return interrupted;
}

}  // namespace tarnivel
