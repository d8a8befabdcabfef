// The bytes of request bodies in flight across all connections of an HTTP service. A body
// reserves its whole size before its first byte is read and keeps it until its exchange ends, so
// every admitted body can finish and half-read bodies can never hold the budget between them.
// A connection waiting for room reads nothing, and the kernel's window holds the client back.
// Internal to the HTTP service; thread-safe.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace Basalt::Http {

class BodyBudget : public std::enable_shared_from_this<BodyBudget> {
 public:
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
    Reservation(std::shared_ptr<BodyBudget> budget, size_t bytes);
    void Release();

    std::shared_ptr<BodyBudget> budget_;
    size_t bytes_ = 0;
  };
  using AdmittedFn = std::function<void(Reservation)>;

  // `drained` runs, on the releasing thread and without a lock held, each time the last body in
  // flight is done.
  explicit BodyBudget(size_t capacity, std::function<void()> drained = nullptr)
      : capacity_(capacity), drained_(std::move(drained)) {}

  // Calls `admitted` once `bytes` fit: inline when they fit now, otherwise later on the thread
  // that releases the room, in the order asked. A body larger than the whole budget waits until
  // nothing else is in flight and then goes alone.
  void Reserve(size_t bytes, AdmittedFn admitted);

  // Drops every waiting request without calling it; for a service that stops.
  void Cancel();

  size_t Capacity() const { return capacity_; }

 private:
  struct Waiter {
    size_t bytes;
    AdmittedFn admitted;
  };

  bool FitsLocked(size_t bytes) const;
  void Release(size_t bytes);

  const size_t capacity_;
  const std::function<void()> drained_;
  std::mutex mutex_;  // guards the fields below
  size_t inFlight_ = 0;
  std::deque<Waiter> waiters_;
};

}  // namespace Basalt::Http
