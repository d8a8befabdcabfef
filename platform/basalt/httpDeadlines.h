// The deadlines of a connection's pending read and write, watched by one timer. Starting an
// operation only stores its deadline; the timer wakes at the earliest deadline it was told of,
// and waits on when the stored ones have since moved later. A busy connection so costs no timer
// call per operation: deadlines that only move later are seen when the timer wakes.
// Internal to the HTTP service; used on the connection's loop only.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace Basalt::Http {

class OperationDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  using Executor = boost::asio::io_context::executor_type;

  explicit OperationDeadlines(Executor executor) : timer_(executor) {}

  // `expired` runs on the loop, and only while `owner` lives, once a pending operation outlasts
  // its deadline; both deadlines are cleared then. Called once, before any deadline is set.
  void Bind(std::weak_ptr<void> owner, std::function<void()> expired);

  void SetRead(Clock::time_point deadline);
  void SetWrite(Clock::time_point deadline);
  void ClearRead() { read_ = Clock::time_point::max(); }
  void ClearWrite() { write_ = Clock::time_point::max(); }

  // Clears both and stops the timer.
  void Cancel();

 private:
  using Timer = boost::asio::basic_waitable_timer<Clock, boost::asio::wait_traits<Clock>, Executor>;

  void WakeBy(Clock::time_point deadline);
  void OnWake();

  Timer timer_;
  std::weak_ptr<void> owner_;
  std::function<void()> expired_;
  Clock::time_point read_ = Clock::time_point::max();
  Clock::time_point write_ = Clock::time_point::max();
  Clock::time_point wakeAt_ = Clock::time_point::max();  // of the pending wait; max when none
  uint64_t wait_ = 0;  // numbers the waits: a wait replaced or cancelled is ignored when it ends
};

}  // namespace Basalt::Http
