#include "platform/basalt/httpEvictionQueue.h"

#include <array>

#include "platform/basalt/coarseClock.h"

namespace Basalt::Http {

void EvictionQueue::Unlink(Entry& entry) {
  if (entry.links.is_linked()) ListOf(entry).erase(ListOf(entry).iterator_to(entry));
}

void EvictionQueue::Enqueue(Entry& entry) {
  auto now = System::CoarseSteadyNow();
  std::lock_guard lock(mutex_);
  if (entry.taken) return;
  Unlink(entry);
  entry.since = now;
  entry.waiting.store(true, std::memory_order_relaxed);
  entry.complete = false;
  incomplete_.push_back(entry);
}

void EvictionQueue::MarkServing(Entry& entry) {
  entry.waiting.store(false, std::memory_order_relaxed);
}

void EvictionQueue::MarkComplete(Entry& entry) {
  auto now = System::CoarseSteadyNow();
  std::lock_guard lock(mutex_);
  if (!entry.links.is_linked() || entry.complete) return;
  Unlink(entry);
  entry.since = now;
  entry.complete = true;
  complete_.push_back(entry);
}

void EvictionQueue::Remove(Entry& entry) {
  std::lock_guard lock(mutex_);
  Unlink(entry);
}

EvictionQueue::Oldest EvictionQueue::TakeOldest() {
  std::lock_guard lock(mutex_);
  // A connection accepted a moment ago has had no time to send its request: while a call has been
  // in progress longer than that, the call gives way instead (a caller's new connection must not
  // be closed for an attacker's, whose calls all wait out a delay).
  const auto graceEnd = Clock::now() - kFreshGrace;
  const bool spareFresh = !incomplete_.empty() && incomplete_.front().since > graceEnd &&
                          !complete_.empty() && complete_.front().since <= graceEnd;
  const std::array<List*, 2> order = spareFresh ? std::array<List*, 2>{&complete_, &incomplete_}
                                                : std::array<List*, 2>{&incomplete_, &complete_};
  for (List* list : order) {
    while (!list->empty()) {
      Entry& entry = list->front();
      list->pop_front();
      entry.taken = true;
      // A connection being destroyed is still queued until its destructor takes it off.
      if (auto connection = entry.connection.lock()) {
        return {std::move(connection), entry.since, entry.waiting.load(std::memory_order_relaxed)};
      }
    }
  }
  return {};
}

}  // namespace Basalt::Http
