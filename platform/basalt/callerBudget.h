// How fast one calling host user may make the daemon write something it keeps or forwards: any
// local user can make calls as fast as it likes, without holding a credential, and what each call
// writes must not let it fill a disk or use up what is shared with every other caller (the
// journal's rate limit). Each caller (its host uid; callers whose uid cannot be told share one
// budget) has a budget of bytes that refills at a steady rate. What goes beyond it is held back
// and counted, and the caller's next write that fits learns how many items were, so that it can
// say so and nothing vanishes unaccounted.
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

namespace Basalt {

class CallerBudget {
 public:
  using Clock = std::chrono::steady_clock;
  using ClockFn = std::function<Clock::time_point()>;

  // `bytesPerSecond` refills each caller's budget, which holds at most kBurstSeconds of it; 0
  // lets everything through.
  explicit CallerBudget(uint64_t bytesPerSecond, ClockFn clock = nullptr);

  static constexpr uint64_t kBurstSeconds = 32;
  // Callers remembered; beyond, those whose budget has refilled (they hold nothing) are forgotten.
  static constexpr size_t kMaxCallers = 4096;

  // Whether `caller` may write `items` (records, lines) of `bytes` in all now, taking the bytes
  // from its budget. When it may, the result is the number of its items held back since it last
  // wrote (0 usually), and the note that says so costs `noteBytes` more; nullopt holds these
  // items back and counts them.
  std::optional<uint64_t> Take(std::optional<uint32_t> caller, uint64_t bytes, uint64_t items = 1,
                               uint64_t noteBytes = 0);
  // Whether Take would hold back `bytes` for `caller` now (changing nothing but the refill), and
  // HoldBack counts `items` held back without taking anything: so that a writer can learn early
  // that whatever it is about to compose will not go out, and skip composing it.
  bool WouldHoldBack(std::optional<uint32_t> caller, uint64_t bytes, uint64_t noteBytes = 0);
  void HoldBack(std::optional<uint32_t> caller, uint64_t items);

  uint64_t BytesPerSecond() const { return bytesPerSecond_; }

 private:
  struct Budget {
    double bytes = 0;
    Clock::time_point refilled;
    uint64_t heldBack = 0;
  };
  void Refill(Budget& budget, Clock::time_point now) const;
  Budget& Refilled(std::optional<uint32_t> caller, Clock::time_point now);  // mutex_ held
  static double Cost(const Budget& budget, uint64_t bytes, uint64_t noteBytes);
  bool Refuses(const Budget& budget, double cost) const;
  void ForgetRefilled(Clock::time_point now);

  const uint64_t bytesPerSecond_;
  const double rate_;  // bytesPerSecond_, and the most a budget holds
  const double full_;
  const ClockFn clock_;
  std::mutex mutex_;
  std::map<std::optional<uint32_t>, Budget> budgets_;  // guarded by mutex_
};

}  // namespace Basalt
