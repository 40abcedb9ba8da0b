#include "training/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/setting.hpp"

namespace tarnivel {

namespace {

// Largest thread count accepted from TARNIVEL_POOL_THREADS. Larger values are treated like any
// other unusable setting (ignored): they could only exhaust the process's threads.
constexpr std::size_t kMaxPoolThreadsSetting = 1024;

// The override must be a plain positive decimal integer (digits only, no sign or spaces);
// anything else is ignored and the processor count is used.
std::size_t pool_size_for(std::size_t configured) {
  return configured > 0 ? configured : std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

// Scheduling: instead of recursively halving the item range under a splitting budget, every pool
// thread claims the next unclaimed item from a shared atomic cursor. That keeps all the guarantees
// the trainer relies on (each item on exactly one thread, the caller only waits, no item starts
// after a stop is seen) and balances sentences of very different lengths at least as well.
//
// One parallel for-each. It lives on the caller's stack; the caller returns only when the job has
// left the queue and no pool thread is working on it any more.
struct Job {
  const std::function<bool(std::size_t)>* body = nullptr;
  const std::function<void()>* leave = nullptr;
  std::size_t n = 0;
  std::size_t max_threads = 1;  // only pool threads numbered below this take part
  std::atomic<std::size_t> cursor{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> body_stopped{false};
  // Guarded by the pool mutex.
  std::size_t active = 0;
  bool queued = false;
  bool done = false;
  std::exception_ptr error;

  bool exhausted() const {
    return stop.load(std::memory_order_relaxed) || cursor.load(std::memory_order_relaxed) >= n;
  }
};

class WorkerPool {
 public:
  // Starts `size` threads. When the system refuses one, the threads already started are told to
  // exit and joined before the error is reported, so a later call can try again from scratch.
  static WorkerPool* create(std::size_t size) {
    auto pool = std::make_unique<WorkerPool>();
    std::vector<std::thread> threads;
    threads.reserve(size);
    try {
      for (std::size_t i = 0; i < size; ++i) {
        WorkerPool* raw = pool.get();
        threads.emplace_back([raw, i] { raw->worker_loop(i); });
      }
    } catch (const std::system_error& e) {
      {
        std::lock_guard<std::mutex> lock(pool->mutex_);
        pool->shutting_down_ = true;
      }
      pool->work_cv_.notify_all();
      for (std::thread& t : threads) t.join();
      throw ResourceError(std::string("failed to spawn thread: ") + e.what());
    }
    // The threads wait on a condition variable for the rest of the process; detached, they never
    // hold up process exit, and the pool object is never destroyed under them.
    for (std::thread& t : threads) t.detach();
    pool->size_ = size;
    return pool.release();
  }

  std::size_t size() const { return size_; }

  bool for_each(std::size_t n, const std::function<bool(std::size_t)>& body, std::size_t max_threads,
                const std::function<void()>* leave) {
    if (n == 0) return false;
    Job job;
    job.body = &body;
    job.leave = leave;
    job.n = n;
    job.max_threads = std::max<std::size_t>(max_threads, 1);
    std::unique_lock<std::mutex> lock(mutex_);
    job.queued = true;
    queue_.push_back(&job);
    work_cv_.notify_all();
    done_cv_.wait(lock, [&] { return job.done; });
    if (job.error) std::rethrow_exception(job.error);
    return job.body_stopped.load(std::memory_order_relaxed);
  }

 private:
  // Pool thread number `index` (0 .. size - 1).
  void worker_loop(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      work_cv_.wait(lock, [&] { return shutting_down_ || (job = open_job(index)) != nullptr; });
      if (shutting_down_) return;
      ++job->active;
      lock.unlock();
      run_items(*job);
      if (job->leave != nullptr) (*job->leave)();
      lock.lock();
      --job->active;
      // Nothing is left to claim: take the job out of the queue; whoever sees it both dequeued
      // and idle wakes its caller.
      retire(*job);
    }
  }

  // The first queued job that thread `index` may join: items left, and a bound above the thread's
  // number. A job bounded to k threads thus only ever runs on threads 0 .. k-1, so all the loops of
  // one training call (one per chunk) share the same k threads, and the others stay idle. Jobs
  // found with nothing left to claim are retired on the way. Called with the mutex held.
  Job* open_job(std::size_t index) {
    for (auto it = queue_.begin(); it != queue_.end();) {
      Job* job = *it;
      if (job->exhausted()) {
        it = queue_.erase(it);
        job->queued = false;
        retire(*job);
        continue;
      }
      if (index < job->max_threads) return job;
      ++it;
    }
    return nullptr;
  }

  // Claims items one at a time until none is left or a stop was signalled.
  void run_items(Job& job) {
    for (;;) {
      if (job.stop.load(std::memory_order_relaxed)) return;
      const std::size_t i = job.cursor.fetch_add(1, std::memory_order_relaxed);
      if (i >= job.n) return;
      bool stop = false;
      try {
        stop = (*job.body)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!job.error) job.error = std::current_exception();
        job.stop.store(true, std::memory_order_relaxed);
        return;
      }
      if (stop) {
        job.body_stopped.store(true, std::memory_order_relaxed);
        job.stop.store(true, std::memory_order_relaxed);
        return;
      }
    }
  }

  // Called with the mutex held.
  void retire(Job& job) {
    if (job.queued) {
      queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
      job.queued = false;
    }
    if (job.active == 0 && !job.done) {
      job.done = true;
      done_cv_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::deque<Job*> queue_;
  bool shutting_down_ = false;
  std::size_t size_ = 0;
};

// Created on first use and deliberately leaked: its threads outlive every caller.
// `configured` is only read by the call that creates it.
WorkerPool& pool(std::size_t (*configured)()) {
  static WorkerPool* const instance = WorkerPool::create(pool_size_for(configured()));
  return *instance;
}

// The size a pool created by a caller without a setting of its own gets; the host sets it once,
// with whatever lock guards the environment held, so that no later first use reads the environment.
constexpr std::size_t kUnset = SIZE_MAX;
std::atomic<std::size_t> default_threads{kUnset};

WorkerPool& pool() {
  return pool([] {
    const std::size_t given = default_threads.load();
    return given == kUnset ? pool_threads_setting() : given;
  });
}

}  // namespace

std::size_t pool_threads_setting() {
  const auto value = plain_decimal_setting("TARNIVEL_POOL_THREADS", kMaxPoolThreadsSetting);
  return value ? static_cast<std::size_t>(*value) : 0;
}

std::size_t worker_pool_size() { return pool().size(); }

void set_default_pool_threads(std::size_t configured) {
  default_threads.store(configured);
}

std::size_t worker_pool_size(std::size_t configured) {
  thread_local std::size_t given = 0;
  given = configured;
  return pool([] { return given; }).size();
}

bool pool_for_each(std::size_t n, const std::function<bool(std::size_t)>& body,
                   std::size_t max_threads, const std::function<void()>* leave) {
  if (n == 0) return false;
  return pool().for_each(n, body, max_threads, leave);
}

}  // namespace tarnivel
