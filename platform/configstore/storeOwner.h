// Makes this process the only one that works on a store directory. Two daemons on one root, or
// the restore command beside a running daemon, would each keep their own view of the profiles
// in memory and write over each other's, until the store held two objects for one subject.
//
// The lock is an advisory flock on "owner.lock" in the directory, which also names the owner's
// pid. The kernel releases it when the process ends, however it ends: a crash leaves nothing
// stale. Not thread-aware: one owner per process, held on the main thread for its lifetime.
#pragma once

#include <memory>
#include <string>

#include "platform/basalt/uniqueDescriptor.h"

namespace NoxConfigStore {

class StoreOwner {
 public:
  // Creates the directory and the lock file when absent. Raises ConfigStoreException when
  // another process owns the directory (naming its pid) or the lock file cannot be opened.
  explicit StoreOwner(const std::string& directory);

 private:
  std::unique_ptr<Basalt::System::UniqueDescriptor> lock_;
};

}  // namespace NoxConfigStore
