#include "rng/seed.hpp"

#include <atomic>
#include <mutex>
#include <optional>

#include "common/error.hpp"

namespace tarnivel {

namespace {

std::atomic<uint64_t> g_base_seed{42};
std::atomic<uint64_t> g_seed_generation{1};

// The global stream and its lock. `broken` records that a holder failed while holding the lock, so
// the stream may be half-used; later weight initialisation refuses it, set_seed ignores it.
struct GlobalStream {
  std::mutex mutex;
  std::optional<ChaChaStream> stream;
  bool broken = false;
};

GlobalStream& global() {
  static GlobalStream g;
  return g;
}

// Unique per thread within the process; handed out once, on the thread's first worker draw.
uint64_t this_thread_id() {
  static std::atomic<uint64_t> next_id{1};
  thread_local const uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

struct WorkerSlot {
  std::optional<ChaChaStream> stream;
  uint64_t generation = 0;
};

}  // namespace

uint64_t base_seed() { return g_base_seed.load(std::memory_order_relaxed); }

uint64_t seed_generation() { return g_seed_generation.load(std::memory_order_relaxed); }

void set_seed(uint64_t seed) {
  g_base_seed.store(seed, std::memory_order_relaxed);
  {
    GlobalStream& g = global();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.broken) g.stream = ChaChaStream::from_seed(seed);
  }
  g_seed_generation.fetch_add(1, std::memory_order_relaxed);
}

void with_global_stream(const std::function<void(ChaChaStream&)>& use) {
  GlobalStream& g = global();
  std::lock_guard<std::mutex> lock(g.mutex);
  if (g.broken) internal_error("global random stream lock is broken by an earlier failure");
  if (!g.stream) g.stream = ChaChaStream::from_seed(base_seed());
  try {
    use(*g.stream);
  } catch (...) {
    g.broken = true;
    throw;
  }
}

ChaChaStream stream_for_epoch(uint64_t epoch) { return ChaChaStream::from_seed(base_seed() + epoch); }

ChaChaStream& worker_stream() {
  thread_local WorkerSlot slot;
  const uint64_t generation = seed_generation();
  if (!slot.stream || slot.generation != generation) {
    const uint64_t id = this_thread_id();
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(id >> (8 * i));
    slot.stream = ChaChaStream::from_seed(base_seed() ^ siphash13(0, 0, bytes, sizeof bytes));
    slot.generation = generation;
  }
  return *slot.stream;
}

}  // namespace tarnivel
