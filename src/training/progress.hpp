#pragma once
// Progress reporting of an epoch: the progress line, the display learning rate, and the reporter
// thread of a threaded epoch.
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>

namespace tarnivel {

class TrainObserver;

// Values fixed for one epoch's progress reports.
struct ProgressPlan {
  uint64_t epoch = 0;         // e, counted from 0
  uint64_t epochs = 0;        // E
  uint64_t epoch_tokens = 0;  // T
  float alpha = 0.025f;
  float min_alpha = 0.0001f;
  float epoch_lr = 0.025f;  // shown when E x T is 0 and the formula has no value
  bool verbose = false;
  bool progress = false;  // whether the observer's progress is called
  double interval = 1.0;  // seconds, as given
};

// "EPOCH {e+1}/{E}: PROGRESS at {percent:.2}% tokens, alpha {lr:.5}, {rate} tokens/s" for p tokens
// done in the epoch after `seconds`.
std::string progress_line(const ProgressPlan& plan, uint64_t p, double seconds);

// alpha - ((alpha - min_alpha) * D) / (E * T) in float, floored at min_alpha; for E * T == 0 the
// epoch's own rate (no tokens means no progress to show).
float display_lr(const ProgressPlan& plan, uint64_t done_in_call);

// printf("%.*f") of a value.
std::string fixed(double value, int decimals);

// Reporting interval in whole milliseconds: at least 10 ms (NaN counts as 10 ms), truncated.
uint64_t interval_ms(double seconds);

// The reporter thread of a threaded epoch: every interval, a progress line and/or a progress call
// from `counter`. A failure of either sets the stop flag; a progress failure is kept for the driver.
class Reporter {
 public:
  Reporter(const ProgressPlan& plan, const std::atomic<uint64_t>& counter, std::atomic<bool>& stop,
           TrainObserver& observer);
  ~Reporter();  // finish()
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Sets the done flag and waits for the thread (through the observer's unlocked()).
  void finish();
  // After finish(): the progress failure that stopped training, if any.
  std::exception_ptr error() const { return error_; }

 private:
  void loop();

  ProgressPlan plan_;
  const std::atomic<uint64_t>& counter_;
  std::atomic<bool>& stop_;
  TrainObserver& observer_;
  std::atomic<bool> done_{false};
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace tarnivel
