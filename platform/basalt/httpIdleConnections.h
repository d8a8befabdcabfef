// The connections of an HTTP service that wait for a request, longest waiting first, so that a
// service at its connection bound can close the one idle longest instead of refusing a newcomer.
// Internal to the HTTP service; thread-safe.
#pragma once

#include <boost/intrusive/list.hpp>
#include <memory>
#include <mutex>

namespace Basalt::Http {

class HttpConnection;

class IdleConnections {
 public:
  // A connection's place in the list. It holds its own links, so that listing it allocates
  // nothing. `connection` is set once, before the entry is first marked idle; the links are
  // touched only by the list, under its lock. The connection owns its entry and must call
  // MarkBusy before it is destroyed.
  struct Entry {
    std::weak_ptr<HttpConnection> connection;
    boost::intrusive::list_member_hook<> links;
  };

  // Puts the connection last: it begins to wait now.
  void MarkIdle(Entry& entry);
  void MarkBusy(Entry& entry);

  // Removes and returns the connection waiting longest; null when none waits.
  std::shared_ptr<HttpConnection> TakeOldest();

 private:
  using List = boost::intrusive::list<
      Entry,
      boost::intrusive::member_hook<Entry, boost::intrusive::list_member_hook<>, &Entry::links>,
      boost::intrusive::constant_time_size<false>>;

  std::mutex mutex_;  // guards entries_ and the links of every Entry
  List entries_;
};

}  // namespace Basalt::Http
