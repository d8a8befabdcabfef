#include "platform/basalt/httpIdleConnections.h"

namespace Basalt::Http {

void IdleConnections::MarkIdle(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.links.is_linked()) entries_.erase(entries_.iterator_to(entry));
  entries_.push_back(entry);
}

void IdleConnections::MarkBusy(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.links.is_linked()) entries_.erase(entries_.iterator_to(entry));
}

std::shared_ptr<HttpConnection> IdleConnections::TakeOldest() {
  std::lock_guard lock(mutex_);
  while (!entries_.empty()) {
    Entry& entry = entries_.front();
    entries_.pop_front();
    // A connection being destroyed is still listed until its destructor takes it off.
    if (auto connection = entry.connection.lock()) return connection;
  }
  return nullptr;
}

}  // namespace Basalt::Http
