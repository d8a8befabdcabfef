// The bytes of request bodies in flight across all connections of an HTTP service. A body
// reserves its whole size before its first byte is read and keeps it until its exchange ends, so
// every admitted body can finish and half-read bodies can never hold the budget between them.
// A connection waiting for room reads nothing, and the kernel's window holds the client back.
//
// Each reservation has an owner (the peer's host user); no owner holds more than its share, so
// that one local user's stalled bodies cannot make everyone else's wait. An owner held back by
// its share does not hold back those behind it; otherwise bodies are admitted in the order asked.
// Internal to the HTTP service; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Basalt::Http {

class BodyBudget : public std::enable_shared_from_this<BodyBudget> {
 public:
  // A peer's uid; every peer whose uid is not known counts as one owner.
  using Owner = std::optional<uint32_t>;

  // Holds its bytes of the budget until destroyed. Move-only.
  class Reservation {
   public:
    Reservation() = default;
    Reservation(Reservation&& other) noexcept;
    Reservation& operator=(Reservation&& other) noexcept;
    ~Reservation();

    size_t Bytes() const { return bytes_; }

   private:
    friend class BodyBudget;
    Reservation(std::shared_ptr<BodyBudget> budget, size_t bytes, Owner owner);
    void Release();

    std::shared_ptr<BodyBudget> budget_;
    size_t bytes_ = 0;
    Owner owner_;
  };
  using AdmittedFn = std::function<void(Reservation)>;

  // `drained` runs, on the releasing thread and without a lock held, each time the last body in
  // flight is done. `ownerShare`: the most one owner holds at once.
  explicit BodyBudget(size_t capacity, std::function<void()> drained = nullptr,
                      size_t ownerShare = std::numeric_limits<size_t>::max())
      : capacity_(capacity), ownerShare_(ownerShare), drained_(std::move(drained)) {}

  // Calls `admitted` once `bytes` fit, in the budget and in `owner`'s share: inline when they fit
  // now, otherwise later on the thread that releases the room. A body larger than the whole
  // budget waits until nothing else is in flight and then goes alone; one larger than the share
  // waits until its owner holds nothing.
  void Reserve(size_t bytes, Owner owner, AdmittedFn admitted);

  // Drops every waiting request without calling it; for a service that stops.
  void Cancel();

  size_t Capacity() const { return capacity_; }

 private:
  struct Waiter {
    size_t bytes;
    Owner owner;
    AdmittedFn admitted;
  };

  bool FitsLocked(size_t bytes) const;
  bool FitsShareLocked(size_t bytes, const Owner& owner) const;
  // Takes out of waiters_, in order, each waiter that fits now, until one that fits its share
  // does not fit the budget.
  std::vector<Waiter> AdmitWaitersLocked();
  void Release(size_t bytes, const Owner& owner);

  const size_t capacity_;
  const size_t ownerShare_;
  const std::function<void()> drained_;
  std::mutex mutex_;  // guards the fields below
  size_t inFlight_ = 0;
  std::map<Owner, size_t> held_;  // by owner, only those holding bytes
  std::deque<Waiter> waiters_;
};

}  // namespace Basalt::Http
