#pragma once
// Progress reporting shared by sequential epochs (in-line, between sentences) and threaded epochs (a
// reporter thread): the progress line, the display learning rate and the progress callable.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "binding/py_common.hpp"

namespace tarnivel::py {

// Values fixed for one epoch's progress reports.
struct ProgressPlan {
  uint64_t epoch = 0;         // e, counted from 0
  uint64_t epochs = 0;        // E
  uint64_t epoch_tokens = 0;  // T
  float alpha = 0.025f;
  float min_alpha = 0.0001f;
  float epoch_lr = 0.025f;  // shown when E x T is 0 and the formula has no value
  bool verbose = false;
  PyObject* callback = nullptr;  // borrowed for the duration of the epoch
  double interval = 1.0;         // seconds, as given
};

// "EPOCH {e+1}/{E}: PROGRESS at {percent:.2}% tokens, alpha {lr:.5}, {rate} tokens/s" for p tokens
// done in the epoch after `seconds`.
std::string progress_line(const ProgressPlan& plan, uint64_t p, double seconds);

// alpha - ((alpha - min_alpha) * D) / (E * T) in float, floored at min_alpha; for E * T == 0 the
// epoch's own rate (no tokens means no progress to show).
float display_lr(const ProgressPlan& plan, uint64_t done_in_call);

// Calls the progress callable with (D, E * T), interpreter lock held. An ordinary exception (an
// instance of Exception) is discarded; any other (KeyboardInterrupt, SystemExit...) is left set and
// false is returned so that training stops with it.
bool call_progress(PyObject* callback, uint64_t done, uint64_t total);

// Format helpers used by the log lines.
std::string fixed(double value, int decimals);

// The reporter thread of a threaded epoch.
class Reporter {
 public:
  Reporter(const ProgressPlan& plan, std::shared_ptr<std::atomic<uint64_t>> counter,
           std::atomic<bool>& stop);
  ~Reporter();  // finish(); the interpreter lock must be held
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Sets the done flag and waits for the thread, with the interpreter lock released meanwhile.
  void finish();
  // The exception a callback or logging raised that stopped training (owned triple), if any. Must be
  // called with the interpreter lock after finish(); restores it as the current exception.
  bool restore_error();

 private:
  void run();
  void loop();

  ProgressPlan plan_;
  std::shared_ptr<std::atomic<uint64_t>> counter_;
  std::atomic<bool>& stop_;
  std::atomic<bool> done_{false};
  PyObject* error_type_ = nullptr;
  PyObject* error_value_ = nullptr;
  PyObject* error_tb_ = nullptr;
  std::thread thread_;
};

}  // namespace tarnivel::py
