// Reader/writer locking that objects inherit, so that callers lock the object they use. The
// object is the lock: its guarded members are GUARDED_BY(this) and its methods state the mode
// they need with REQUIRES(this) / REQUIRES_SHARED(this), which clang checks at compile time.
//
// Each release names the mode it releases; prefer the scoped guards below, which pair them.
// Not recursive: a thread that holds either mode must not take the lock again.
#pragma once

#include <shared_mutex>

#include "platform/basalt/threadAnnotations.h"

namespace Basalt::System {

class CAPABILITY("mutex") RwLockableMixin {
 public:
  RwLockableMixin(const RwLockableMixin&) = delete;
  RwLockableMixin& operator=(const RwLockableMixin&) = delete;

  void ReadLock() const ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void ReadUnlock() const RELEASE_SHARED() { mutex_.unlock_shared(); }
  void WriteLock() const ACQUIRE() { mutex_.lock(); }
  void WriteUnlock() const RELEASE() { mutex_.unlock(); }
  // Takes the write lock when no thread holds the lock in either mode; never waits.
  bool TryWriteLock() const TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 protected:
  RwLockableMixin() = default;
  ~RwLockableMixin() = default;

 private:
  mutable std::shared_mutex mutex_;
};

// Holds the read lock of an object for one scope.
class SCOPED_CAPABILITY ScopedReadLock {
 public:
  explicit ScopedReadLock(const RwLockableMixin& lockable) ACQUIRE_SHARED(lockable)
      : lockable_(lockable) {
    lockable_.ReadLock();
  }
  ~ScopedReadLock() RELEASE() { lockable_.ReadUnlock(); }
  ScopedReadLock(const ScopedReadLock&) = delete;
  ScopedReadLock& operator=(const ScopedReadLock&) = delete;

 private:
  const RwLockableMixin& lockable_;
};

// Holds the write lock of an object for one scope.
class SCOPED_CAPABILITY ScopedWriteLock {
 public:
  explicit ScopedWriteLock(const RwLockableMixin& lockable) ACQUIRE(lockable)
      : lockable_(lockable) {
    lockable_.WriteLock();
  }
  ~ScopedWriteLock() RELEASE() { lockable_.WriteUnlock(); }
  ScopedWriteLock(const ScopedWriteLock&) = delete;
  ScopedWriteLock& operator=(const ScopedWriteLock&) = delete;

 private:
  const RwLockableMixin& lockable_;
};

}  // namespace Basalt::System
