#pragma once
// The sentence routine (reduced windows, skip-gram pairs / CBOW contexts, kernel calls per level) and
// the parallel training of one chunk of sentences on the worker pool.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "rng/chacha.hpp"
#include "sampling/alias.hpp"
#include "training/huffman.hpp"
#include "training/ns.hpp"
#include "training/subsample.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {

// Parameters fixed for one epoch.
struct TrainParams {
  uint64_t window = 5;
  bool sg = false;
  bool hs = false;
  bool cbow_mean = true;
  uint64_t negative = 5;
  std::vector<uint64_t> levels;  // never empty, each in 1..dim
  float lr = 0.025f;             // the epoch's learning rate
  Arithmetic arithmetic = Arithmetic::kExact;  // TARNIVEL_ARITHMETIC of the call
  // Subsampling: when set, each token is kept or dropped (drawing from the sentence's stream) before
  // the windows are formed.
  const KeepTable* keep = nullptr;
};

// Read-only output structures of one epoch. `alias` is empty when negative sampling is off.
struct OutputTables {
  const HuffmanTree* tree = nullptr;
  const AliasTable* alias = nullptr;
};

// Asks whether a signal handler raised (the interpreter's pending-signal check, taken with the
// interpreter lock). Returns true when training must stop.
class SignalProbe {
 public:
  virtual ~SignalProbe() = default;
  virtual bool interrupted() = 0;
};

// PlainMatrices (the model's own matrices, used without locks in sequential mode) comes from
// training/ns.hpp.

// Converted sentences in one flat buffer: sentence i is words[offsets[i] .. offsets[i+1]).
// The chunks waiting in the read-ahead queue are most of the memory a threaded call adds, so
// indices are stored as narrowly as the vocabulary allows: 16 bits in a narrow chunk (every index
// below 65,536, the common case), else 32 bits. A vocabulary of 2^32 words or more cannot be held
// in memory anyway (the threaded driver refuses one all the same rather than truncate indices).
// Exactly one buffer is in use: `narrow_words` when `narrow` is set, `words` otherwise.
struct SentenceChunk {
  using Index = uint32_t;
  using NarrowIndex = uint16_t;
  static constexpr uint64_t kMaxIndex = 0xFFFFFFFFull;
  static constexpr uint64_t kMaxNarrowIndex = 0xFFFFull;

  SentenceChunk() = default;
  explicit SentenceChunk(bool narrow_indices) : narrow(narrow_indices) {}

  bool narrow = false;
  std::vector<Index> words;
  std::vector<NarrowIndex> narrow_words;
  std::vector<std::size_t> offsets{0};

  std::size_t size() const { return offsets.size() - 1; }
  bool empty() const { return size() == 0; }
  std::size_t word_count() const { return narrow ? narrow_words.size() : words.size(); }
  std::size_t length(std::size_t i) const { return offsets[i + 1] - offsets[i]; }
  // Calls f with sentence i as a span of the chunk's index type.
  template <class F>
  decltype(auto) with_sentence(std::size_t i, F&& f) const {
    if (narrow) return f(std::span<const NarrowIndex>(narrow_words.data() + offsets[i], length(i)));
    return f(std::span<const Index>(words.data() + offsets[i], length(i)));
  }
  // Ends the sentence made of the words appended since the previous one.
  void end_sentence() { offsets.push_back(word_count()); }
  // Drops words appended after the last complete sentence.
  void drop_unfinished() {
    words.resize(narrow ? 0 : offsets.back());
    narrow_words.resize(narrow ? offsets.back() : 0);
  }
  void push_back(std::span<const uint64_t> s) {
    const uint64_t limit = narrow ? kMaxNarrowIndex : kMaxIndex;
    for (const uint64_t w : s) {
      TARNIVEL_CHECK(w <= limit, "word index does not fit a sentence chunk");
      if (narrow) {
        narrow_words.push_back(static_cast<NarrowIndex>(w));
      } else {
        words.push_back(static_cast<Index>(w));
      }
    }
    end_sentence();
  }
};

// Besides positions 0, 1024, 2048..., the sequential routines ask their probe whenever this many row
// components have been touched since the last check: one position costs its window times
// (`negative` + 1) times the widths, so a large `negative` or wide rows would otherwise leave Ctrl-C
// unanswered for minutes. About a millisecond of training; a check costs microseconds.
inline constexpr uint64_t kWorkBetweenSignalChecks = uint64_t{1} << 21;

// Trains one sentence in sequential mode; checks `probe` at positions 0, 1024, 2048...
// Returns true when interrupted (the stop flag was set, or the probe reported a signal, in which
// case the stop flag is set too).
bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables, PlainMatrices m,
                    std::atomic<bool>& stop, SignalProbe& probe);

// The same routine with the multi-worker kernel forms on shared matrices. `probe` may be null (no
// signal check), as on pool threads.
bool train_sentence(std::span<const uint64_t> sentence, ChaChaStream& stream,
                    const TrainParams& params, const OutputTables& tables,
                    const SharedMatrix& input, const SharedMatrix& output,
                    std::atomic<bool>& stop, SignalProbe* probe);
// The same for a sentence of a chunk, in either of the chunk index widths (built for
// SentenceChunk::Index and SentenceChunk::NarrowIndex).
template <class Index>
bool train_chunk_sentence(std::span<const Index> sentence, ChaChaStream& stream,
                          const TrainParams& params, const OutputTables& tables,
                          const SharedMatrix& input, const SharedMatrix& output,
                          std::atomic<bool>& stop, SignalProbe* probe);

// The multi-worker routine on shared matrices without copies of its own (the chunk training's hot-row
// scope, when open on the thread, holds the frequent rows).
template <class Index>
bool train_shared_sentence(std::span<const Index> sentence, ChaChaStream& stream, const TrainParams& params,
                           const OutputTables& tables, const SharedMatrix& input, const SharedMatrix& output,
                           std::atomic<bool>& stop, SignalProbe* probe);

}  // namespace tarnivel
