#include "platform/basalt/httpDeadlines.h"

#include <algorithm>

namespace Basalt::Http {

void OperationDeadlines::Bind(std::weak_ptr<void> owner, std::function<void()> expired) {
  owner_ = std::move(owner);
  expired_ = std::move(expired);
}

void OperationDeadlines::SetRead(Clock::time_point deadline) {
  read_ = deadline;
  WakeBy(deadline);
}

void OperationDeadlines::SetWrite(Clock::time_point deadline) {
  write_ = deadline;
  WakeBy(deadline);
}

void OperationDeadlines::Cancel() {
  ClearRead();
  ClearWrite();
  if (wakeAt_ == Clock::time_point::max()) return;
  wakeAt_ = Clock::time_point::max();
  ++wait_;
  timer_.cancel();
}

void OperationDeadlines::WakeBy(Clock::time_point deadline) {
  if (deadline >= wakeAt_) return;  // the pending wait ends in time to see it
  wakeAt_ = deadline;
  timer_.expires_at(deadline);
  timer_.async_wait([this, owner = owner_, wait = ++wait_](const boost::system::error_code&) {
    // The owner's lifetime is this object's: while it lives, `this` does.
    auto alive = owner.lock();
    if (alive && wait == wait_) OnWake();
  });
}

void OperationDeadlines::OnWake() {
  wakeAt_ = Clock::time_point::max();
  auto earliest = std::min(read_, write_);
  // Nothing pending: the next operation starts a wait.
  if (earliest == Clock::time_point::max()) return;
  if (earliest > Clock::now()) {
    WakeBy(earliest);
    return;
  }
  ClearRead();
  ClearWrite();
  expired_();
}

}  // namespace Basalt::Http
