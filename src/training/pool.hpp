#pragma once
// The process-wide worker pool: std::threads created on first use and kept for the life of the
// process, running parallel for-each loops with dynamic scheduling. Knows nothing of Python.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace tarnivel {

// Number of pool threads: TARNIVEL_POOL_THREADS when it holds a usable positive decimal count,
// otherwise the number of logical processors (at least 1). Creates the pool on first use; failing to
// start a thread throws ResourceError("failed to spawn thread: ...").
std::size_t worker_pool_size();
// The same, creating the pool with `configured` threads (0: the number of logical processors) when
// it does not exist yet; the call's driver sizes it from the setting it read.
std::size_t worker_pool_size(std::size_t configured);
// TARNIVEL_POOL_THREADS when it holds a usable positive decimal count, else 0.
std::size_t pool_threads_setting();
// Fixes the size worker_pool_size() gives a pool it creates (0: the logical processors) instead of
// reading TARNIVEL_POOL_THREADS then. Called once by the host before any thread may use the pool.
void set_default_pool_threads(std::size_t configured);

// Runs body(i) for every i in [0, n), each exactly once, on the pool threads, claiming items one at
// a time from a shared cursor. The calling thread only waits (it is not one of the loop's threads).
// Only the pool threads numbered below `max_threads` take part in the loop (0 counts as 1; a bound
// above the pool size is the pool size), always the same ones: successive loops with a bound of k
// (the chunks of one training call) are all run by the same k threads, and the other threads stay
// idle or free for other loops. A body must not start a loop of its own (it could wait for its own
// thread).
// Once a body has returned true (stop), no further item is started. Returns whether any body
// returned true. An exception thrown by a body stops the loop and is rethrown here after every
// running item has finished.
// Several callers may run loops at the same time; their items share the pool threads.
// `leave`, when given, runs on every pool thread that joined the loop once it has claimed its last
// item (also after a stop or an exception), before the loop counts as finished: the place to hand
// over what a thread kept for itself across items. It must not throw.
bool pool_for_each(std::size_t n, const std::function<bool(std::size_t)>& body,
                   std::size_t max_threads = SIZE_MAX,
                   const std::function<void()>* leave = nullptr);

}  // namespace tarnivel
