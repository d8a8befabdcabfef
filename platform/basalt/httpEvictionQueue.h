// The open connections of an HTTP service, in the order their current exchange began: a
// connection goes last when it is accepted and each time it starts to wait for a request. At its
// connection bound the service closes the first one for a newcomer: the connection that has gone
// longest without completing an exchange, whatever it is doing (waiting, trickling headers or a
// body, waiting for its answer or not taking it). A client whose calls complete keeps moving back;
// one that holds a slot without completing anything comes first. Internal to the HTTP service;
// thread-safe.
#pragma once

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

  // A connection's place in the queue. It holds its own links, so that queueing allocates
  // nothing. `connection` is set once, before the entry is first queued; the other members are
  // touched only by the queue, under its lock. The connection owns its entry and must Remove it
  // before it is destroyed.
  struct Entry {
    std::weak_ptr<HttpConnection> connection;
    boost::intrusive::list_member_hook<> links;
    uint64_t exchange = 0;
    Clock::time_point since;
    bool waiting = false;
  };

  // The connection begins to wait for request `exchange`: it goes last.
  void Enqueue(Entry& entry, uint64_t exchange);
  // Its request has come; it keeps its place.
  void MarkServing(Entry& entry);
  void Remove(Entry& entry);

  struct Oldest {
    std::shared_ptr<HttpConnection> connection;  // null when the queue is empty
    uint64_t exchange = 0;                       // the exchange it was queued for
    Clock::time_point since;
    bool waiting = false;  // still waiting for that exchange's request
  };

  // Removes and returns the first connection.
  Oldest TakeOldest();

 private:
  using List = boost::intrusive::list<
      Entry,
      boost::intrusive::member_hook<Entry, boost::intrusive::list_member_hook<>, &Entry::links>,
      boost::intrusive::constant_time_size<false>>;

  std::mutex mutex_;  // guards entries_ and every Entry's links, exchange, since and waiting
  List entries_;
};

}  // namespace Basalt::Http
