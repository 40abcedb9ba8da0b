#pragma once
// A weight matrix shared by the training threads: copies share the data and a table of 64 row-lock
// stripes (row r is guarded by stripe r & 63). Holders write rows without further synchronisation;
// the stripes are the only mutual exclusion.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace tarnivel {

// A test-and-test-and-set stripe lock. Locking is one atomic exchange and unlocking a plain release
// store: the kernels take millions of stripes a second, and every atomic read-modify-write waits for
// the row stores before it to drain, so the lock costs what it has of those. When the stripe is
// busy the waiter spins briefly (a row update takes well under a microsecond), then yields, then
// sleeps in short naps: with more runnable threads than cores (the pool, the corpus reader, other
// processes) a preempted holder needs the core more than the waiter does. A stripe whose holder
// failed (guard released during stack unwinding) is marked broken for good. Each stripe has a cache
// line of its own, so that threads taking different stripes do not contend for one line.
class alignas(64) StripeLock {
 public:
  // Acquires the lock; throws InternalError (without holding it) when the stripe is broken.
  void lock() {
    if (locked_.exchange(true, std::memory_order_acquire)) lock_contended();
    if (broken_.load(std::memory_order_relaxed)) fail_broken();
  }
  void unlock() noexcept {
    ++holds_;
    locked_.store(false, std::memory_order_release);
  }
  void mark_broken() noexcept { broken_.store(true, std::memory_order_relaxed); }
  bool broken() const noexcept { return broken_.load(std::memory_order_relaxed); }
  // Number of completed holds of this stripe (wrapping). Read only while holding the lock, which
  // orders it like the rows: equal values at the start of two holds mean no hold in between.
  uint32_t holds() const noexcept { return holds_; }
  // Asks for the lock's cache line in exclusive state ahead of a lock(). The exchange that takes
  // the lock waits for its line before anything after it can proceed, so a line that another core
  // wrote last is best requested early, side by side with the other stripes a kernel is about to
  // take (PREFETCHW; a no-op on x86 processors without it).
  void prefetch() const noexcept {
#if defined(__x86_64__)
    __asm__ volatile("prefetchw %0" : : "m"(locked_));
#endif
  }

 private:
  void lock_contended();
  [[noreturn]] void fail_broken();
  std::atomic<bool> locked_{false};
  std::atomic<bool> broken_{false};
  uint32_t holds_ = 0;
};

class SharedMatrix {
 public:
  static constexpr std::size_t kRowLockStripes = 64;

  // Holds one stripe; releases it on destruction. Released during stack unwinding (the holder
  // failed part-way through an update), it marks the stripe broken.
  class RowGuard {
   public:
    RowGuard(const RowGuard&) = delete;
    RowGuard& operator=(const RowGuard&) = delete;
    RowGuard(RowGuard&& other) noexcept;
    RowGuard& operator=(RowGuard&&) = delete;
    ~RowGuard();

   private:
    friend class SharedMatrix;
    explicit RowGuard(StripeLock* lock);
    StripeLock* lock_;
    int uncaught_;
  };

  // An empty wrapper (no rows, no data); only useful as a placeholder to assign to.
  SharedMatrix() = default;

  // Takes the array by move; rows = array length / dim (0 when dim is 0); all stripes unlocked.
  static SharedMatrix wrap(std::vector<float>&& array, std::size_t dim);

  std::size_t rows() const { return rows_; }
  std::size_t dim() const { return dim_; }

  // All rows (rows() x dim() elements) as one mutable view, for training without row locks: its
  // users write concurrently without any synchronisation (see train_chunk's unlocked mode).
  std::span<float> all_rows() const { return {base_, rows_ * dim_}; }

  // Row r (dim long) as a mutable view; r >= rows() is an internal error.
  std::span<float> row(std::size_t r) const;
  // The first n elements of row r; r >= rows() or n > dim() is an internal error.
  std::span<float> row_prefix(std::size_t r, std::size_t n) const;

  // The completed holds of stripe r & 63 so far (see StripeLock::holds); call only while holding it.
  uint32_t stripe_holds(std::size_t r) const { return stripe_of(r).holds(); }

  // Prefetches stripe r & 63 for a coming lock (StripeLock::prefetch); r >= rows() is an internal
  // error.
  void prefetch_stripe(std::size_t r) const { stripe_of(r).prefetch(); }

  // Locks stripe r & 63 of this matrix; r >= rows() or a broken stripe is an internal error.
  [[nodiscard]] RowGuard lock_row(std::size_t r) const;

  // Runs f() holding stripe r & 63, the kernels' form of lock_row: an exception leaving f marks the
  // stripe broken, through a handler that costs nothing while nothing throws (a guard has to ask
  // the runtime for the number of exceptions in flight on both ends of every hold).
  template <class F>
  decltype(auto) with_stripe(std::size_t r, F&& f) const {
    StripeLock& stripe = stripe_of(r);
    stripe.lock();
    try {
      if constexpr (std::is_void_v<decltype(f())>) {
        f();
        stripe.unlock();
      } else {
        decltype(auto) result = f();
        stripe.unlock();
        return result;
      }
    } catch (...) {
      stripe.mark_broken();
      stripe.unlock();
      throw;
    }
  }

  // Gives the array back, leaving this wrapper empty; another live copy is an internal error.
  std::vector<float> into_array();

  // Number of wrappers sharing this matrix (0 for an empty wrapper).
  long use_count() const { return storage_.use_count(); }

 private:
  StripeLock& stripe_of(std::size_t r) const {
    if (r >= rows_) out_of_range();
    return storage_->stripes[r & (kRowLockStripes - 1)];
  }
  [[noreturn]] static void out_of_range();

  struct Storage {
    std::vector<float> data;
    StripeLock stripes[kRowLockStripes];
  };
  std::shared_ptr<Storage> storage_;
  float* base_ = nullptr;
  std::size_t dim_ = 0;
  std::size_t rows_ = 0;
};

}  // namespace tarnivel
