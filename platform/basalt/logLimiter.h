// Lets a log line that a burst of events could repeat through at most once per interval, and
// counts the ones held back, so that the log says what happened without a line per event.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace Basalt::Service {

// Thread-safe, lock-free: callers on several threads race for the one line due.
class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogLimiter(Clock::duration interval) : interval_(interval) {}

  // Whether a line is due at `now`: the first call, then the first after each interval. When it
  // is, `heldBack` (if given) gets the number of calls since the last line that were not due.
  bool Due(uint64_t* heldBack = nullptr, Clock::time_point now = Clock::now()) {
    const int64_t at = now.time_since_epoch().count();
    int64_t next = next_.load(std::memory_order_relaxed);
    do {
      if (at < next) {
        held_.fetch_add(1, std::memory_order_relaxed);
        return false;
      }
    } while (!next_.compare_exchange_weak(next, at + interval_.count(), std::memory_order_relaxed));
    const uint64_t held = held_.exchange(0, std::memory_order_relaxed);
    if (heldBack) *heldBack = held;
    return true;
  }

 private:
  const Clock::duration interval_;
  std::atomic<int64_t> next_{INT64_MIN};
  std::atomic<uint64_t> held_{0};
};

}  // namespace Basalt::Service
