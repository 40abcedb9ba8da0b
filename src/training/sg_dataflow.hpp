#pragma once
// Skip-gram negative sampling for a whole sentence on the plain matrices, run as a dataflow of row
// updates instead of one pair after another, with the same results bit for bit.
//
// The window sizes and the negative samples never depend on the weights, so a block of positions is
// drawn first, in exactly the order the pair-at-a-time routine draws (window per position, then per
// pair `negative` samples), which turns the block into a list of row updates
// (input row, output row, label) in sequential order. Two updates on disjoint rows commute exactly;
// the block is executed so that every row sees its updates in the original order, and otherwise as
// many independent updates as possible run side by side, one per vector lane (see
// level_pair_lanes). The stream ends where the pair-at-a-time routine leaves it.
//
// The fast arithmetic with one level (or widths that all reduce to one) runs the updates strictly
// in order instead, drawn one position ahead of their training, in groups through
// FastOps::pair_group: the same draws and stream, values within rounding of the pair-at-a-time fast
// kernels.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rng/chacha.hpp"
#include "sampling/alias.hpp"
#include "training/ns.hpp"
#include "training/sentence.hpp"

namespace tarnivel {

// The sequential routines ask their probe at positions 0, 1024, 2048, ... of each sentence.
inline constexpr std::size_t kProbePositionMask = 1023;

// The position loop of the sequential fast routines, which draw each position one ahead of its
// training. For i = 0 .. n-1: the stop flag is read (when set, flush() trains what was drawn and the
// loop returns true); at positions 0, 1024, 2048, ... and whenever `work` (which draw() adds to)
// has reached kWorkBetweenSignalChecks, flush() runs, `work` restarts from 0 and the probe (may be
// null) is asked (a signal sets the flag and returns true); then the reduced window is drawn, and a
// window holding a context position goes to draw(i, start, end) with its range [start, end), which
// trains the position drawn before. After the last position flush() runs and the loop returns false.
template <class Draw, class Flush>
bool drawn_positions(std::size_t n, uint64_t window, ChaChaStream& stream, std::atomic<bool>& stop,
                     SignalProbe* probe, uint64_t& work, Draw&& draw, Flush&& flush) {
  for (std::size_t i = 0; i < n; ++i) {
    if (stop.load(std::memory_order_relaxed)) {
      flush();
      return true;
    }
    if (probe != nullptr && ((i & kProbePositionMask) == 0 || work >= kWorkBetweenSignalChecks)) {
      flush();
      work = 0;
      if (probe->interrupted()) {
        stop.store(true, std::memory_order_relaxed);
        return true;
      }
    }
    const uint64_t w = window - stream.in_closed_range(0, window);
    const std::size_t start = w <= i ? static_cast<std::size_t>(i - w) : 0;
    const std::size_t end = w >= n - 1 - i ? n : static_cast<std::size_t>(i + w + 1);
    if (start + 1 < end) draw(i, start, end);
  }
  flush();
  return false;
}

// Most updates one round of the scheduled executor runs side by side (two groups of four lanes).
inline constexpr std::size_t kScheduleLanes = 8;

// The sentence routine for sg = 1, hs = 0 on plain matrices: the same draws, stop and probe
// behaviour and final matrices and stream position as calling sg_negative_step per pair. `table`
// may be null (no samples). The probe may be null (no signal check).
// The stop flag is read before each position is drawn, as the pair-at-a-time routine reads it; when
// it is set, the positions already drawn are trained and the routine returns, so the matrices and
// the stream are exactly those of that routine stopping there. The probe is asked only with every
// earlier position trained (a block ends before a probe position). A flag set by another thread
// while a drawn block trains is seen at the next position drawn: at most one block (about 2048
// updates) later than position by position, which no caller can tell from thread timing.
bool train_sg_negative_scheduled(std::span<const uint64_t> sentence, ChaChaStream& stream,
                                 const TrainParams& params, const AliasTable* table,
                                 PlainMatrices m, std::atomic<bool>& stop, SignalProbe* probe);

// level_pair_update(a[r], b[r], levels, labels[r], lr_eff) for r < k <= kScheduleLanes on rows of
// length dim that are all distinct (no a[r] or b[r] shares memory with another row of the call): the
// same bits as k separate calls. Every lane keeps its own dot and squared-norm chains, each summed
// strictly left to right; only independent chains advance together.
void level_pair_lanes(float* const* a, float* const* b, const float* labels, std::size_t k,
                      std::size_t dim, std::span<const uint64_t> levels, float lr_eff);

// Counters of the scheduled executor on this thread since the last reset (for profiling builds and
// tests): rounds run and updates executed; updates / rounds is the mean number in flight.
struct ScheduleStats {
  uint64_t rounds = 0;
  uint64_t updates = 0;
  uint64_t stalled_lanes = 0;  // occupied lanes whose next update waited on an earlier one
  uint64_t idle_lanes = 0;     // lanes left empty for want of admitted work
  // Built with TARNIVEL_SCHEDULE_PROFILE only: the sum over blocks of the longest dependency chain,
  // the fewest rounds any schedule with unlimited lanes could take.
  uint64_t critical_path = 0;
  // Built with TARNIVEL_SCHEDULE_PROFILE only: what the stalled lanes waited on, the last earlier
  // update of their output row being a positive or a negative target, or an earlier run of their
  // centre word (a repeated word).
  uint64_t waits_on_positive = 0;
  uint64_t waits_on_negative = 0;
  uint64_t waits_on_centre = 0;
  // Rounds by number of updates run, 0 .. kScheduleLanes.
  uint64_t rounds_by_width[kScheduleLanes + 1] = {};
};
ScheduleStats& schedule_stats();

}  // namespace tarnivel
