#include "platform/basalt/httpBodyBudget.h"

#include <utility>
#include <vector>

namespace Basalt::Http {

BodyBudget::Reservation::Reservation(std::shared_ptr<BodyBudget> budget, size_t bytes)
    : budget_(std::move(budget)), bytes_(bytes) {}

BodyBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}

BodyBudget::Reservation& BodyBudget::Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = std::move(other.budget_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

BodyBudget::Reservation::~Reservation() { Release(); }

void BodyBudget::Reservation::Release() {
  if (budget_) budget_->Release(bytes_);
  budget_.reset();
  bytes_ = 0;
}

bool BodyBudget::FitsLocked(size_t bytes) const {
  return inFlight_ == 0 || bytes <= capacity_ - std::min(inFlight_, capacity_);
}

void BodyBudget::Reserve(size_t bytes, AdmittedFn admitted) {
  {
    std::lock_guard lock(mutex_);
    // Behind earlier waiters even when it would fit: a large body is never starved.
    if (!waiters_.empty() || !FitsLocked(bytes)) {
      waiters_.push_back({bytes, std::move(admitted)});
      return;
    }
    inFlight_ += bytes;
  }
  admitted(Reservation(shared_from_this(), bytes));
}

void BodyBudget::Release(size_t bytes) {
  std::vector<Waiter> ready;
  bool drained = false;
  {
    std::lock_guard lock(mutex_);
    inFlight_ -= bytes;
    while (!waiters_.empty() && FitsLocked(waiters_.front().bytes)) {
      inFlight_ += waiters_.front().bytes;
      ready.push_back(std::move(waiters_.front()));
      waiters_.pop_front();
    }
    drained = inFlight_ == 0;
  }
  if (drained && drained_) drained_();
  for (auto& waiter : ready) {
    waiter.admitted(Reservation(shared_from_this(), waiter.bytes));
  }
}

void BodyBudget::Cancel() {
  std::deque<Waiter> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(waiters_);
  }
}

}  // namespace Basalt::Http
