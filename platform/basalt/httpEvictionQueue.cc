#include "platform/basalt/httpEvictionQueue.h"

namespace Basalt::Http {

void EvictionQueue::Enqueue(Entry& entry, uint64_t exchange) {
  auto now = Clock::now();
  std::lock_guard lock(mutex_);
  if (entry.links.is_linked()) entries_.erase(entries_.iterator_to(entry));
  entry.exchange = exchange;
  entry.since = now;
  entry.waiting = true;
  entries_.push_back(entry);
}

void EvictionQueue::MarkServing(Entry& entry) {
  std::lock_guard lock(mutex_);
  entry.waiting = false;
}

void EvictionQueue::Remove(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.links.is_linked()) entries_.erase(entries_.iterator_to(entry));
}

EvictionQueue::Oldest EvictionQueue::TakeOldest() {
  std::lock_guard lock(mutex_);
  while (!entries_.empty()) {
    Entry& entry = entries_.front();
    entries_.pop_front();
    // A connection being destroyed is still queued until its destructor takes it off.
    if (auto connection = entry.connection.lock()) {
      return {std::move(connection), entry.exchange, entry.since, entry.waiting};
    }
  }
  return {};
}

}  // namespace Basalt::Http
