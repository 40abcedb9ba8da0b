#include "training/progress.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "training/driver.hpp"

namespace tarnivel {

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

uint64_t interval_ms(double seconds) {
  if (!(seconds >= 0.01)) seconds = 0.01;
  if (seconds > 1e9) seconds = 1e9;  // keeps the conversion defined for huge or infinite values
  return static_cast<uint64_t>(seconds * 1000.0);
}

Reporter::Reporter(const ProgressPlan& plan, const std::atomic<uint64_t>& counter, std::atomic<bool>& stop,
                   TrainObserver& observer)
    : plan_(plan), counter_(counter), stop_(stop), observer_(observer) {
  thread_ = observer_.start_thread([this] { loop(); });
}

Reporter::~Reporter() { finish(); }

void Reporter::finish() {
  done_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) observer_.unlocked([this] { thread_.join(); });
}

void Reporter::loop() {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const uint64_t interval = interval_ms(plan_.interval);
  const uint64_t step = interval <= 50 ? interval : 50;
  uint64_t waited = 0;
  while (!done_.load(std::memory_order_relaxed) && !stop_.load(std::memory_order_relaxed)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    waited += step;
    if (waited < interval) continue;
    waited = 0;
    const uint64_t p = counter_.load(std::memory_order_relaxed);
    try {
      if (plan_.verbose) {
        // A failed line (an interruption while logging) stops training; its error is not kept.
        try {
          observer_.log(progress_line(plan_, p, std::chrono::duration<double>(clock::now() - start).count()));
        } catch (...) {
          stop_.store(true, std::memory_order_relaxed);
          return;
        }
      }
      if (plan_.progress) observer_.progress(plan_.epoch_tokens * plan_.epoch + p, plan_.epochs * plan_.epoch_tokens);
    } catch (...) {
      error_ = std::current_exception();
      stop_.store(true, std::memory_order_relaxed);
      return;
    }
  }
}

}  // namespace tarnivel
