// For tests: an SQLite VFS over the platform's default one that fails writes or syncs on demand,
// the way a full disk or a failing device does. Open a store on it by naming it in
// ConfigStoreOptions::vfs.
//
// Thread safety: the switches are atomic; one instance is registered for the process and shared.
#pragma once

#include <atomic>
#include <string>

namespace NoxConfigStore::Testing {

class FaultyVfs {
 public:
  // Registers the VFS on first use (not as the default); later calls return the same instance.
  static FaultyVfs& Get();

  const std::string& Name() const { return name_; }

  // Every write (including growing a file) fails with SQLITE_FULL while set.
  void FailWrites(bool fail) { failWrites_ = fail; }
  // Every sync fails with SQLITE_IOERR_FSYNC while set.
  void FailSyncs(bool fail) { failSyncs_ = fail; }
  // Lets `count` more writes through, then fails every write (as a disk that fills up midway).
  void FailWritesAfter(int count) { writesLeft_ = count; }

  // Consulted by the VFS before each write and sync.
  bool WriteFails();
  bool SyncFails() const { return failSyncs_; }

  // Clears every switch.
  void Heal() {
    failWrites_ = failSyncs_ = false;
    writesLeft_ = -1;
  }

 private:
  FaultyVfs();

  std::string name_ = "nox-faulty";
  std::atomic<bool> failWrites_{false};
  std::atomic<bool> failSyncs_{false};
  std::atomic<int> writesLeft_{-1};  // -1: no countdown
};

}  // namespace NoxConfigStore::Testing
