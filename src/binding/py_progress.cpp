#include "binding/py_progress.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "binding/py_logging.hpp"

namespace tarnivel::py {

std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

float display_lr(const ProgressPlan& plan, uint64_t done_in_call) {
  const uint64_t total = plan.epochs * plan.epoch_tokens;
  if (total == 0) return plan.epoch_lr;
  const float span = plan.alpha - plan.min_alpha;
  float lr = plan.alpha - (span * static_cast<float>(done_in_call)) / static_cast<float>(total);
  if (lr < plan.min_alpha) lr = plan.min_alpha;
  return lr;
}

std::string progress_line(const ProgressPlan& plan, uint64_t p, double seconds) {
  const double percent =
      plan.epoch_tokens == 0 ? 0.0 : static_cast<double>(p) / static_cast<double>(plan.epoch_tokens) * 100.0;
  const double rate = seconds > 0.0 ? std::round(static_cast<double>(p) / seconds) : 0.0;
  const uint64_t done = plan.epoch_tokens * plan.epoch + p;
  return "EPOCH " + std::to_string(plan.epoch + 1) + "/" + std::to_string(plan.epochs) + ": PROGRESS at " +
         fixed(percent, 2) + "% tokens, alpha " + fixed(display_lr(plan, done), 5) + ", " +
         std::to_string(static_cast<uint64_t>(rate)) + " tokens/s";
}

bool call_progress(PyObject* callback, uint64_t done, uint64_t total) {
  PyObject* result = PyObject_CallFunction(callback, "KK", static_cast<unsigned long long>(done),
                                           static_cast<unsigned long long>(total));
  if (result != nullptr) {
    Py_DECREF(result);
    return true;
  }
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();  // a failing callable never stops training
    return true;
  }
  return false;
}

namespace {

// Reporting interval in whole milliseconds: at least 10 ms (NaN counts as 10 ms), truncated.
uint64_t interval_ms(double seconds) {
  if (!(seconds >= 0.01)) seconds = 0.01;
  if (seconds > 1e9) seconds = 1e9;  // keeps the conversion defined for huge or infinite values
  return static_cast<uint64_t>(seconds * 1000.0);
}

}  // namespace

Reporter::Reporter(const ProgressPlan& plan, std::shared_ptr<std::atomic<uint64_t>> counter,
                   std::atomic<bool>& stop)
    : plan_(plan), counter_(std::move(counter)), stop_(stop) {
  thread_ = start_helper_thread([this] { run(); });
}

Reporter::~Reporter() {
  finish();
  Py_XDECREF(error_type_);
  Py_XDECREF(error_value_);
  Py_XDECREF(error_tb_);
}

void Reporter::finish() {
  done_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) {
    AllowThreads unlocked;
    thread_.join();
  }
}

bool Reporter::restore_error() {
  if (error_type_ == nullptr) return false;
  PyErr_Restore(error_type_, error_value_, error_tb_);
  error_type_ = error_value_ = error_tb_ = nullptr;
  return true;
}

void Reporter::run() {
  try {
    loop();
  } catch (const std::exception&) {
    // Only an allocation failure can get here; reporting ends and training goes on.
  }
}

void Reporter::loop() {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const uint64_t interval = interval_ms(plan_.interval);
  const uint64_t step = interval <= 50 ? interval : 50;
  uint64_t waited = 0;
  if (done_.load(std::memory_order_relaxed)) return;
  for (;;) {
    if (stop_.load(std::memory_order_relaxed)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    waited += step;
    if (waited >= interval) {
      const uint64_t p = counter_->load(std::memory_order_relaxed);
      if (plan_.verbose) {
        const double seconds = std::chrono::duration<double>(clock::now() - start).count();
        // The lock is taken here, through ensure_gil, so that an exit either lets this line finish or
        // keeps the thread from taking the lock; log_info's own taking of it is then nested.
        PyGILState_STATE gil = ensure_gil();
        const LogResult logged = log_info(progress_line(plan_, p, seconds), false);
        PyGILState_Release(gil);
        if (logged == LogResult::interrupted) {
          stop_.store(true, std::memory_order_relaxed);
          return;
        }
      }
      if (plan_.callback != nullptr) {
        PyGILState_STATE gil = ensure_gil();
        const uint64_t done = plan_.epoch_tokens * plan_.epoch + p;
        if (!call_progress(plan_.callback, done, plan_.epochs * plan_.epoch_tokens)) {
          // KeyboardInterrupt or SystemExit from the callable: keep it for the driver and stop.
          PyErr_Fetch(&error_type_, &error_value_, &error_tb_);
          stop_.store(true, std::memory_order_relaxed);
          PyGILState_Release(gil);
          return;
        }
        PyGILState_Release(gil);
      }
      waited = 0;
    }
    if (done_.load(std::memory_order_relaxed)) return;
  }
}

}  // namespace tarnivel::py
