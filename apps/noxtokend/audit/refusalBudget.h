// How fast one calling host user may grow the audit trail with refusals. Every refused credential
// and every refused access is a record, and any local user can make refusals without holding a
// credential at all: unbounded, tens of thousands a second would fill the disk under /var/log
// within the hour. Each caller (its host uid; callers whose uid cannot be told share one budget)
// has a budget of bytes that refills at a steady rate. A refusal record beyond it is held back and
// counted, and the caller's next record that fits says how many were ("held_back"), so that the
// trail still accounts for every refusal.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace NoxToken::Audit {

class RefusalBudget {
 public:
  using Clock = std::chrono::steady_clock;
  using ClockFn = std::function<Clock::time_point()>;

  // `bytesPerSecond` refills each caller's budget, which holds at most kBurstSeconds of it; 0
  // lets every record through.
  explicit RefusalBudget(uint64_t bytesPerSecond, ClockFn clock = nullptr);

  static constexpr uint64_t kBurstSeconds = 32;
  // Callers remembered; beyond, those whose budget has refilled (they hold nothing) are forgotten.
  static constexpr size_t kMaxCallers = 4096;

  // Whether `caller` may write a record of `bytes` now, taking them from its budget. When it may,
  // the result is the number of its records held back since its last one written (0 usually);
  // nullopt holds this one back and counts it.
  std::optional<uint64_t> Take(std::optional<uint32_t> caller, uint64_t bytes);

  uint64_t BytesPerSecond() const { return bytesPerSecond_; }

 private:
  struct Budget {
    double bytes = 0;
    Clock::time_point refilled;
    uint64_t heldBack = 0;
  };
  void Refill(Budget& budget, Clock::time_point now) const;
  void ForgetRefilled(Clock::time_point now);

  const uint64_t bytesPerSecond_;
  const double rate_;  // bytesPerSecond_, and the most a budget holds
  const double full_;
  const ClockFn clock_;
  std::mutex mutex_;
  std::map<std::optional<uint32_t>, Budget> budgets_;  // guarded by mutex_
};

}  // namespace NoxToken::Audit
