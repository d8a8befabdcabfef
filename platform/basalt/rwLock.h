// Reader/writer locking that objects inherit, so that callers lock the object they use.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <thread>

namespace Basalt::System {

class RwLockableMixin {
 public:
  RwLockableMixin() = default;
  RwLockableMixin(const RwLockableMixin&) = delete;
  RwLockableMixin& operator=(const RwLockableMixin&) = delete;
  virtual ~RwLockableMixin() = default;

  virtual void ReadLock() const { mutex_.lock_shared(); }

  virtual void WriteLock() const {
    mutex_.lock();
    writer_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }

  // Releases whichever lock the calling thread holds: only the writer itself can hold the
  // exclusive lock, so any other caller is a reader.
  virtual void Unlock() const {
    if (writer_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      writer_.store(std::thread::id(), std::memory_order_relaxed);
      mutex_.unlock();
    } else {
      mutex_.unlock_shared();
    }
  }

 private:
  mutable std::shared_mutex mutex_;
  mutable std::atomic<std::thread::id> writer_{};
};

// Holds the read lock of an object for one scope.
class ScopedReadLock {
 public:
  explicit ScopedReadLock(const RwLockableMixin& lockable) : lockable_(lockable) {
    lockable_.ReadLock();
  }
  ~ScopedReadLock() { lockable_.Unlock(); }
  ScopedReadLock(const ScopedReadLock&) = delete;
  ScopedReadLock& operator=(const ScopedReadLock&) = delete;

 private:
  const RwLockableMixin& lockable_;
};

// Holds the write lock of an object for one scope.
class ScopedWriteLock {
 public:
  explicit ScopedWriteLock(const RwLockableMixin& lockable) : lockable_(lockable) {
    lockable_.WriteLock();
  }
  ~ScopedWriteLock() { lockable_.Unlock(); }
  ScopedWriteLock(const ScopedWriteLock&) = delete;
  ScopedWriteLock& operator=(const ScopedWriteLock&) = delete;

 private:
  const RwLockableMixin& lockable_;
};

}  // namespace Basalt::System
