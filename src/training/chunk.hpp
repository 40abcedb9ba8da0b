#pragma once
// The parallel training of one chunk of sentences on the worker pool, with and without row locks.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "training/sentence.hpp"

namespace tarnivel {

// One chunk of a threaded epoch.
struct ChunkWork {
  const SentenceChunk* chunk = nullptr;
  const TrainParams* params = nullptr;
  OutputTables tables;
  SharedMatrix input;
  SharedMatrix output;
  std::atomic<bool>* stop = nullptr;
  std::atomic<uint64_t>* progress = nullptr;  // optional: tokens trained this epoch
  SignalProbe* caller_probe = nullptr;        // used when the calling thread trains a sentence itself
  // The most pool threads that may train this chunk's sentences (the call's `workers`): the pool's
  // first max_threads threads, the same for every chunk of a call. The calling thread, which only
  // waits for them (and trains one-sentence chunks itself, when no pool thread works for the
  // call), is not counted.
  std::size_t max_threads = SIZE_MAX;
  // false: no row stripes; every thread runs the sequential routine and kernels directly on the
  // shared arrays (asynchronous updates without locks; a lost update is possible and accepted).
  bool row_locks = true;
  // Without row locks: the hottest rows each thread copies (the call's TARNIVEL_UNLOCKED_HOT_ROWS).
  std::size_t unlocked_hot_rows = 1024;
};

// Trains the chunk's sentences in parallel (a one-sentence chunk on the calling thread), each with
// the thread's worker_stream(): with row locks, by the multi-worker kernel forms; without, by the
// sequential routine on the shared arrays. Returns true when stopped.
bool train_chunk(const ChunkWork& work);

}  // namespace tarnivel
