#pragma once
// The fast arithmetic of the kernels: the same operations on the same values as the exact primitives
// (vector_ops.hpp), but each float sum runs in several accumulators and vector lanes and products are
// fused into their additions where the processor has fused multiply-add. Results differ from the exact
// ones by rounding only. Each build (AVX-512, AVX2 with FMA, baseline) is deterministic, and one is
// picked per process from the processor's features, so a run repeats itself on the same machine.
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnivel {

// The arithmetic a training call runs with.
enum class Arithmetic : uint8_t { kExact, kFast };

// One segment of nested prefixes: components [begin, end) are new to a level whose update covers
// components 0 .. end-1.
struct PrefixSegment {
  std::size_t begin;
  std::size_t end;
};

// Storage for how one build's level_pairs walks a prefix of segments (FastOps::shape_levels).
struct LevelShape {
  alignas(16) unsigned char bytes[1152];
};

// The levels as the segments a skip-gram update visits: widths capped at dim, a width not wider than
// the last visited one skipped. Writes at most levels.size() segments; returns how many.
std::size_t prefix_segments(std::span<const uint64_t> levels, std::size_t dim, PrefixSegment* out);

// The entry points of one build. Callers pass raw pointers they have checked.
struct FastOps {
  const char* name;
  // sum_j a[j] * b[j] for j < n.
  float (*dot)(const float* a, const float* b, std::size_t n);
  // out[r] = dot(h, rows[r], n) for r < k.
  void (*dot_many)(const float* h, const float* const* rows, std::size_t k, std::size_t n,
                   float* out);
  // One CBOW negative-sampling example over every width widths[l] (each at most the rows' length),
  // l < nw, in order. Width l: h = the sum of the c context rows ctx[i] over its components in list
  // order (divided by `divisor` when `mean`), the rows as the earlier widths left them; then its k
  // output rows rows[l k + r] (r = 0 the positive target, label 1; the rest label 0) are stepped
  // in order against h, each reading its row as the earlier steps left it: err[j] += g rows[j] (old
  // value), rows[j] += g h[j], with g = logistic_gradient(dot, label, lr); then err (divided by
  // `divisor` when `mean`) is added onto every context row in list order, so that a row listed
  // twice (`distinct` false) gets it twice. The output rows never alias a context row. h and err:
  // scratch of the widest width's length. The same values as the exact steps up to the dots' and
  // err's rounding (sums in lanes, fused multiply-add).
  void (*context_negative)(float* const* ctx, std::size_t c, bool distinct, float* const* rows,
                           std::size_t k, const std::size_t* widths, std::size_t nw, float lr,
                           bool mean, float divisor, float* h, float* err);
  // For r = 0 .. k-1 in order: err[j] += g[r] * rows[r][j]; rows[r][j] += g[r] * h[j] (the row's
  // old value goes into err). The rows are distinct and alias neither err nor h.
  void (*accumulate_error_many)(float* err, float* const* rows, const float* g, std::size_t k,
                                const float* h, std::size_t n);
  // Skip-gram level updates of k pairs of distinct rows (a[r], b[r]) with labels[r], over the
  // segments of the levels: the same gradients as one pair update per level in turn (each from the
  // prefix dot carried through the earlier levels' updates), applied in one pass per row.
  void (*level_pairs)(float* const* a, float* const* b, const float* labels, std::size_t k,
                      const PrefixSegment* segs, std::size_t nseg, const LevelShape& shape,
                      float lr_eff);
  // The shape of the segments' prefix in this build's vector blocks, for level_pairs (made once for
  // all the calls on the same segments).
  void (*shape_levels)(const PrefixSegment* segs, std::size_t nseg, LevelShape* shape);
  // k <= kPairGroup consecutive skip-gram updates of one level over components 0 .. n-1, all on
  // input row a, against distinct output rows b[r] (none aliasing a) with labels[r], in order: the
  // same gradients as k pair updates one after another (each dot reading a as the earlier ones
  // left it), the dots expanded over the group's rows so that they all come from one pass.
  void (*pair_group)(float* a, float* const* b, const float* labels, std::size_t k,
                     std::size_t n, float lr_eff);
  // One skip-gram hierarchical-softmax pair at every width of `widths` (nw of them) in turn: at
  // width n, input row a against the k distinct nodes b[r] of a path (none aliasing a) with
  // labels[r] over components 0 .. n-1, every dot reading a and b[r] as the earlier widths left
  // them; err = sum_r g[r] b[r] (old values, in path order), b[r] += g[r] a, then a += err.
  void (*path_levels)(float* a, float* const* b, const float* labels, std::size_t k,
                      const uint64_t* widths, std::size_t nw, float lr);
  // One CBOW hierarchical-softmax example at every width in turn, in exact real arithmetic: at
  // width n, hidden = the sum of the c context rows ctx[i] over components 0 .. n-1 as the earlier
  // widths left them, divided by `divisor` when `mean`; the path of k distinct nodes b[r] (none a
  // context row) walked against it as in path_levels; then err (divided by `divisor` when `mean`)
  // added onto every context row in list order, so a row listed twice gets it twice. The hidden
  // vector is summed once (element by element in list order; `hidden` holds the widest width's
  // floats of scratch) and carried through the widths' errors, and the context rows receive the
  // sum of the widths' errors once at the end.
  void (*context_levels)(float* const* ctx, std::size_t c, float* const* b, const float* labels,
                         std::size_t k, const uint64_t* widths, std::size_t nw, float lr,
                         bool mean, float divisor, float* hidden);
};

// Most updates one pair_group call takes (its dots and row products fit the vector registers).
inline constexpr std::size_t kPairGroup = 6;

enum class FastBuild : uint8_t { kBaseline, kAvx2, kAvx512 };

// Whether this processor runs the build (the baseline always).
bool fast_build_available(FastBuild build);
// The build in use: the widest the processor runs, unless another was selected.
const FastOps& fast_ops();
FastBuild current_fast_build();
// Selects a build for the whole process (tests compare them); returns false, changing nothing, when
// the processor cannot run it.
bool use_fast_build(FastBuild build);

}  // namespace tarnivel
