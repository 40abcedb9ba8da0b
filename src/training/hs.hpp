#pragma once
// Hierarchical-softmax update kernels for one level, in a sequential form (plain matrices, no
// locks) and a multi-worker form (SharedMatrix wrappers under their row-lock stripes).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rng/chacha.hpp"
#include "training/huffman.hpp"
#include "training/ns.hpp"
#include "training/row_copies.hpp"
#include "training/sentence.hpp"

namespace tarnivel {

// Skip-gram: walks the path of `context` (codes and path_nodes of `tree`) with the input row of
// `center` over the first `level` components, then adds the accumulated error onto that row.
// A word with an empty code changes nothing. The multi-worker form holds the centre's input stripe
// for the whole step, runs the path against a snapshot of the input prefix and each node's output
// stripe around its step, and writes snapshot + error back at the end: the same values as the
// sequential form.
void sg_softmax_step(const PlainMatrices& m, const HuffmanTree& tree, uint64_t center,
                     uint64_t context, std::size_t level, float lr_level);
void sg_softmax_step(const SharedMatrix& input, const SharedMatrix& output,
                     const HuffmanTree& tree, uint64_t center, uint64_t context,
                     std::size_t level, float lr_level);

// The sentence routine for hs = 1 in the fast arithmetic on plain matrices (m.fast set, every
// width in 1..m.dim): the same window draws, examples and updates, with values within rounding of
// calling the sequential sg_softmax_step per pair and width (skip-gram) or cbow_softmax_step per
// position and width (CBOW). Each position's window is drawn one position ahead of its training, so
// that its paths are gathered while the previous position trains; an example then runs as one
// FastOps::path_levels or FastOps::context_levels call for all widths. Stop flag and probe as in
// the grouped skip-gram negative-sampling routine: the flag is read before a position is drawn, the
// probe (may be null) asked at positions 0, 1024, ... and after enough work, with every drawn
// position trained.
bool train_softmax_fast(std::span<const uint64_t> sentence, ChaChaStream& stream,
                        const TrainParams& params, const HuffmanTree& tree, const PlainMatrices& m,
                        std::atomic<bool>& stop, SignalProbe* probe);

// CBOW: hidden = sum (or mean) of the context prefixes, the path of `center` walked against it,
// the error added back onto every context occurrence. A word with an empty code changes nothing.
// The multi-worker form groups the context words by input stripe (0..63 ascending, list order inside
// a group), takes one lock per non-empty stripe, and sums and adds back in that grouped order.
void cbow_softmax_step(const PlainMatrices& m, const HuffmanTree& tree,
                       std::span<const uint64_t> context_words, uint64_t center,
                       std::size_t level, float lr_level, bool cbow_mean);
void cbow_softmax_step(const SharedMatrix& input, const SharedMatrix& output,
                       const HuffmanTree& tree, std::span<const uint64_t> context_words,
                       uint64_t center, std::size_t level, float lr_level, bool cbow_mean);

// Multi-worker forms for all widths of `levels` at once, in list order: the same values as calling
// the per-level multi-worker form once per width, when alone on the matrices. Every width walks the
// same path, so each node's stripe is held twice per example (a copy of its row at the start, every
// width's update at the end) and the widths run on the copies in between; the input stripes are
// taken once per width boundary instead of twice (skip-gram holds the centre's input stripe for the
// whole pair). Falls back to the per-level calls
// when a width is 0 or the path's nodes are not strictly decreasing (every tree built here has
// them so: a parent is numbered after its children and the path runs from the root).
void sg_softmax_levels(const SharedMatrix& input, const SharedMatrix& output,
                       const HuffmanTree& tree, uint64_t center, uint64_t context,
                       std::span<const uint64_t> levels, float lr_level);
// The sequential form for all widths of `levels` at once, in list order: the same values as one
// cbow_softmax_step per width. With distinct context words each context row is visited once per
// width boundary (this width's error, the next width's prefix) instead of twice.
void cbow_softmax_levels(const PlainMatrices& m, const HuffmanTree& tree,
                         std::span<const uint64_t> context_words, uint64_t center,
                         std::span<const uint64_t> levels, float lr_level, bool cbow_mean);
void cbow_softmax_levels(const SharedMatrix& input, const SharedMatrix& output,
                         const HuffmanTree& tree, std::span<const uint64_t> context_words,
                         uint64_t center, std::span<const uint64_t> levels, float lr_level,
                         bool cbow_mean);

}  // namespace tarnivel
