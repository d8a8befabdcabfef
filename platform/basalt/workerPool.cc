#include "platform/basalt/workerPool.h"

#include <algorithm>
#include <utility>

namespace Basalt::System {

WorkerPool::WorkerPool(size_t threads, size_t queueLimit) : queueLimit_(queueLimit) {
  threads = std::max<size_t>(threads, 1);
  workers_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Serve(); });
}

WorkerPool::~WorkerPool() {
  std::deque<std::function<void()>> dropped;  // released outside the lock
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

bool WorkerPool::TryPost(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= queueLimit_) return false;
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
  return true;
}

void WorkerPool::Serve() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

}  // namespace Basalt::System
