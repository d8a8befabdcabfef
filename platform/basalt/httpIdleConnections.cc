#include "platform/basalt/httpIdleConnections.h"

namespace Basalt::Http {

void IdleConnections::MarkIdle(const std::shared_ptr<HttpConnection>& connection, Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.position) nodes_.erase(*entry.position);
  entry.position = nodes_.insert(nodes_.end(), Node{connection, &entry});
}

void IdleConnections::MarkBusy(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.position) nodes_.erase(*entry.position);
  entry.position.reset();
}

std::shared_ptr<HttpConnection> IdleConnections::TakeOldest() {
  std::lock_guard lock(mutex_);
  while (!nodes_.empty()) {
    Node node = nodes_.front();
    node.entry->position.reset();
    nodes_.pop_front();
    // A connection being destroyed is still listed until its destructor takes it off.
    if (auto connection = node.connection.lock()) return connection;
  }
  return nullptr;
}

}  // namespace Basalt::Http
