#include "platform/basalt/callerBudget.h"

#include <algorithm>
#include <utility>

namespace Basalt {

CallerBudget::CallerBudget(uint64_t bytesPerSecond, ClockFn clock)
    : bytesPerSecond_(bytesPerSecond),
      rate_(static_cast<double>(bytesPerSecond)),
      full_(rate_ * static_cast<double>(kBurstSeconds)),
      clock_(clock ? std::move(clock) : ClockFn(&Clock::now)) {}

void CallerBudget::Refill(Budget& budget, Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - budget.refilled).count();
  budget.bytes = std::min(full_, budget.bytes + std::max(seconds, 0.0) * rate_);
  budget.refilled = now;
}

void CallerBudget::ForgetRefilled(Clock::time_point now) {
  for (auto it = budgets_.begin(); it != budgets_.end();) {
    Refill(it->second, now);
    const bool holdsNothing = it->second.bytes >= full_ && it->second.heldBack == 0;
    it = holdsNothing ? budgets_.erase(it) : std::next(it);
  }
}

CallerBudget::Budget& CallerBudget::Refilled(std::optional<uint32_t> caller,
                                             Clock::time_point now) {
  auto found = budgets_.find(caller);
  if (found == budgets_.end()) {
    if (budgets_.size() >= kMaxCallers) ForgetRefilled(now);
    found = budgets_.emplace(caller, Budget{full_, now, 0}).first;
  }
  Refill(found->second, now);
  return found->second;
}

// A write's bytes, and the note's when items were held back before it.
double CallerBudget::Cost(const Budget& budget, uint64_t bytes, uint64_t noteBytes) {
  return static_cast<double>(bytes + (budget.heldBack > 0 ? noteBytes : 0));
}

// A full budget lets any one write through (and owes the rest), so that nothing is too large ever
// to be written.
bool CallerBudget::Refuses(const Budget& budget, double cost) const {
  return budget.bytes < full_ && budget.bytes < cost;
}

std::optional<uint64_t> CallerBudget::Take(std::optional<uint32_t> caller, uint64_t bytes,
                                           uint64_t items, uint64_t noteBytes) {
  if (bytesPerSecond_ == 0) return 0;
  const Clock::time_point now = clock_();
  std::lock_guard lock(mutex_);
  Budget& budget = Refilled(caller, now);
  const double cost = Cost(budget, bytes, noteBytes);
  if (Refuses(budget, cost)) {
    budget.heldBack += items;
    return std::nullopt;
  }
  budget.bytes -= cost;
  return std::exchange(budget.heldBack, 0);
}

bool CallerBudget::WouldHoldBack(std::optional<uint32_t> caller, uint64_t bytes,
                                 uint64_t noteBytes) {
  if (bytesPerSecond_ == 0) return false;
  const Clock::time_point now = clock_();
  std::lock_guard lock(mutex_);
  const auto found = budgets_.find(caller);
  if (found == budgets_.end()) return false;  // a full budget
  Refill(found->second, now);
  return Refuses(found->second, Cost(found->second, bytes, noteBytes));
}

void CallerBudget::HoldBack(std::optional<uint32_t> caller, uint64_t items) {
  if (bytesPerSecond_ == 0) return;
  std::lock_guard lock(mutex_);
  auto found = budgets_.find(caller);
  if (found == budgets_.end()) {
    Refilled(caller, clock_()).heldBack += items;  // forgotten since it was asked: starts full
    return;
  }
  found->second.heldBack += items;  // refilled when it is next asked
}

}  // namespace Basalt
