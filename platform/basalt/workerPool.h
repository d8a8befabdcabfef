// A few threads for work that blocks (a PAM transaction), so that it never holds a connection's
// loop, with a bounded queue so that a flood of such work is refused rather than piled up.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Basalt::System {

class WorkerPool {
 public:
  // `threads` workers (at least 1) take items in order; at most `queueLimit` items wait.
  WorkerPool(size_t threads, size_t queueLimit);
  // Lets running items finish, drops waiting ones and joins the workers. Must not run on a worker.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `work`; false, without running it, when `queueLimit` items already wait. Thread-safe.
  bool TryPost(std::function<void()> work);

 private:
  void Serve();

  const size_t queueLimit_;
  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace Basalt::System
