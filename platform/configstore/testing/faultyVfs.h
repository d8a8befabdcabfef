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

  // Lets `count` more writes (or syncs) through, then fails every one: writes with SQLITE_FULL
  // (a disk that fills up), syncs with SQLITE_IOERR_FSYNC (a failing device). 0 fails at once.
  void FailWritesAfter(int count) { writesLeft_ = count; }
  void FailSyncsAfter(int count) { syncsLeft_ = count; }

  // Consulted by the VFS before each write and each sync.
  bool WriteFails() { return Exhausted(writesLeft_); }
  bool SyncFails() { return Exhausted(syncsLeft_); }

  // Clears every switch.
  void Heal() { writesLeft_ = syncsLeft_ = kOff; }

 private:
  FaultyVfs();

  static constexpr int kOff = -1;
  static bool Exhausted(std::atomic<int>& left);

  std::string name_ = "nox-faulty";
  std::atomic<int> writesLeft_{kOff};
  std::atomic<int> syncsLeft_{kOff};
};

}  // namespace NoxConfigStore::Testing
