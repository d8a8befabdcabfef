#include "platform/basalt/httpBodyBudget.h"

#include <utility>
#include <vector>

namespace Basalt::Http {

BodyBudget::Reservation::Reservation(std::shared_ptr<BodyBudget> budget, size_t bytes, Owner owner)
    : budget_(std::move(budget)), bytes_(bytes), owner_(owner) {}

BodyBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::move(other.budget_)),
      bytes_(std::exchange(other.bytes_, 0)),
      owner_(other.owner_) {}

BodyBudget::Reservation& BodyBudget::Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = std::move(other.budget_);
    bytes_ = std::exchange(other.bytes_, 0);
    owner_ = other.owner_;
  }
  return *this;
}

BodyBudget::Reservation::~Reservation() { Release(); }

void BodyBudget::Reservation::Release() {
  if (budget_) budget_->Release(bytes_, owner_);
  budget_.reset();
  bytes_ = 0;
}

bool BodyBudget::FitsLocked(size_t bytes) const {
  return inFlight_ == 0 || bytes <= capacity_ - std::min(inFlight_, capacity_);
}

bool BodyBudget::FitsShareLocked(size_t bytes, const Owner& owner) const {
  auto found = held_.find(owner);
  return found == held_.end() || bytes <= ownerShare_ - std::min(found->second, ownerShare_);
}

std::vector<BodyBudget::Waiter> BodyBudget::AdmitWaitersLocked() {
  std::vector<Waiter> ready;
  for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
    if (!FitsShareLocked(waiter->bytes, waiter->owner)) {
      ++waiter;
      continue;
    }
    // In order otherwise: a large body is never starved by smaller ones behind it.
    if (!FitsLocked(waiter->bytes)) break;
    inFlight_ += waiter->bytes;
    held_[waiter->owner] += waiter->bytes;
    ready.push_back(std::move(*waiter));
    waiter = waiters_.erase(waiter);
  }
  return ready;
}

void BodyBudget::Reserve(size_t bytes, Owner owner, AdmittedFn admitted) {
  std::vector<Waiter> ready;
  {
    std::lock_guard lock(mutex_);
    waiters_.push_back({bytes, owner, std::move(admitted)});
    ready = AdmitWaitersLocked();
  }
  for (auto& waiter : ready) {
    waiter.admitted(Reservation(shared_from_this(), waiter.bytes, waiter.owner));
  }
}

void BodyBudget::Release(size_t bytes, const Owner& owner) {
  std::vector<Waiter> ready;
  bool drained = false;
  {
    std::lock_guard lock(mutex_);
    inFlight_ -= bytes;
    if (auto found = held_.find(owner); found != held_.end() && (found->second -= bytes) == 0) {
      held_.erase(found);
    }
    ready = AdmitWaitersLocked();
    drained = inFlight_ == 0;
  }
  if (drained && drained_) drained_();
  for (auto& waiter : ready) {
    waiter.admitted(Reservation(shared_from_this(), waiter.bytes, waiter.owner));
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
