// The connections of an HTTP service that wait for a request, longest waiting first, so that a
// service at its connection bound can close the one idle longest instead of refusing a newcomer.
// Internal to the HTTP service; thread-safe.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <optional>

namespace Basalt::Http {

class HttpConnection;

class IdleConnections {
 public:
  struct Node;
  // A connection's place in the list; touched only by the list, under its lock. The connection
  // owns it and must call MarkBusy before it is destroyed.
  struct Entry {
    std::optional<std::list<Node>::iterator> position;
  };
  struct Node {
    std::weak_ptr<HttpConnection> connection;
    Entry* entry;
  };

  // Puts the connection last: it begins to wait now.
  void MarkIdle(const std::shared_ptr<HttpConnection>& connection, Entry& entry);
  void MarkBusy(Entry& entry);

  // Removes and returns the connection waiting longest; null when none waits.
  std::shared_ptr<HttpConnection> TakeOldest();

 private:
  std::mutex mutex_;  // guards nodes_ and every Entry
  std::list<Node> nodes_;
};

}  // namespace Basalt::Http
