// The open connections of an HTTP service, in the order their current exchange began, in two
// queues: connections whose request has not yet fully arrived (waiting for one, reading its
// headers or its body), and connections whose request has (the call is pending, or its answer is
// being written). A connection goes last in the first queue when it is accepted and each time it
// starts to wait for a request, and last in the second once its request is complete. At its
// connection bound the service closes the first connection of the first queue for a newcomer, and
// only when that queue is empty the first of the second. So connections that trickle bytes or
// send nothing give way before any call in progress, and among calls in progress the oldest gives
// way. One exception: a connection queued less than kFreshGrace ago gives way only after the
// calls that have been in progress longer. Internal to the HTTP service; thread-safe.
#pragma once

#include <atomic>
#include <boost/intrusive/list.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Basalt::Http {

class HttpConnection;

class EvictionQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a newly accepted connection has to send its request before it counts as idle.
  static constexpr std::chrono::milliseconds kFreshGrace{100};

  // A connection's place in the queues. It holds its own links, so that queueing allocates
  // nothing. `connection` is set once, before the entry is first queued; the other members are
  // touched only by the queue, under its lock, but for `waiting`, which MarkServing clears without
  // it (it only chooses the line logged for an eviction). The connection owns its entry and must
  // Remove it before it is destroyed.
  struct Entry {
    std::weak_ptr<HttpConnection> connection;
    boost::intrusive::list_member_hook<> links;
    Clock::time_point since;
    std::atomic<bool> waiting{false};
    bool complete = false;
    bool taken = false;  // handed out by TakeOldest: the connection is closing, never queued again
  };

  // The connection begins to wait for a request: it goes last among the incomplete.
  void Enqueue(Entry& entry);
  // Its request's headers have come; it keeps its place. Takes no lock.
  void MarkServing(Entry& entry);
  // Its whole request has come: it goes last among the complete.
  void MarkComplete(Entry& entry);
  void Remove(Entry& entry);

  struct Oldest {
    std::shared_ptr<HttpConnection> connection;  // null when both queues are empty
    Clock::time_point since;                     // when it was queued
    bool waiting = false;                        // still waiting for its request
  };

  // Removes and returns the first connection, which then stays out of both queues: it gives way
  // once, and frees one slot.
  Oldest TakeOldest();

 private:
  using List = boost::intrusive::list<
      Entry,
      boost::intrusive::member_hook<Entry, boost::intrusive::list_member_hook<>, &Entry::links>,
      boost::intrusive::constant_time_size<false>>;

  List& ListOf(Entry& entry) { return entry.complete ? complete_ : incomplete_; }
  void Unlink(Entry& entry);

  std::mutex mutex_;  // guards both lists and every Entry's members but `connection`
  List incomplete_;
  List complete_;
};

}  // namespace Basalt::Http
