#pragma once
// Process-wide seeding: base seed (42 until set_seed), its generation counter, the global stream that
// feeds weight initialisation, the per-epoch streams of sequential training and the per-thread
// streams of the worker pool.
#include <cstdint>
#include <functional>

#include "rng/chacha.hpp"

namespace tarnivel {

uint64_t base_seed();
uint64_t seed_generation();

// Stores the seed, resets the global stream to from_seed(seed) and advances the generation.
void set_seed(uint64_t seed);

// Runs `use` with the global stream locked (created from base_seed on first use).
// A lock broken by an earlier failing holder throws InternalError.
void with_global_stream(const std::function<void(ChaChaStream&)>& use);

// The stream of sequential epoch e: from_seed(base_seed + e).
ChaChaStream stream_for_epoch(uint64_t epoch);

// The calling thread's worker stream, re-seeded from base_seed ^ siphash13(0, 0, thread id) whenever
// seed_generation has changed since it was made; otherwise the stream continues where it left off.
ChaChaStream& worker_stream();

}  // namespace tarnivel
