#include "platform/configstore/testing/faultyVfs.h"

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

namespace NoxConfigStore::Testing {

namespace {

// A file of the faulty VFS: the default VFS's file follows this header in the same allocation,
// as SQLite's own shims lay it out.
struct FaultyFile {
  sqlite3_file base;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_vfs* RealVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }
FaultyFile* Faulty(sqlite3_file* file) { return reinterpret_cast<FaultyFile*>(file); }

int Close(sqlite3_file* file) {
  sqlite3_file* real = Faulty(file)->real();
  return real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  return Faulty(f)->real()->pMethods->xRead(Faulty(f)->real(), buffer, amount, offset);
}
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  if (FaultyVfs::Get().WriteFails()) return SQLITE_FULL;
  return Faulty(f)->real()->pMethods->xWrite(Faulty(f)->real(), buffer, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Faulty(f)->real()->pMethods->xTruncate(Faulty(f)->real(), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (FaultyVfs::Get().SyncFails()) return SQLITE_IOERR_FSYNC;
  return Faulty(f)->real()->pMethods->xSync(Faulty(f)->real(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Faulty(f)->real()->pMethods->xFileSize(Faulty(f)->real(), size);
}
int Lock(sqlite3_file* f, int level) {
  return Faulty(f)->real()->pMethods->xLock(Faulty(f)->real(), level);
}
int Unlock(sqlite3_file* f, int level) {
  return Faulty(f)->real()->pMethods->xUnlock(Faulty(f)->real(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Faulty(f)->real()->pMethods->xCheckReservedLock(Faulty(f)->real(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Faulty(f)->real()->pMethods->xFileControl(Faulty(f)->real(), op, arg);
}
int SectorSize(sqlite3_file* f) {
  return Faulty(f)->real()->pMethods->xSectorSize(Faulty(f)->real());
}
int DeviceCharacteristics(sqlite3_file* f) {
  return Faulty(f)->real()->pMethods->xDeviceCharacteristics(Faulty(f)->real());
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Faulty(f)->real()->pMethods->xShmMap(Faulty(f)->real(), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Faulty(f)->real()->pMethods->xShmLock(Faulty(f)->real(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Faulty(f)->real()->pMethods->xShmBarrier(Faulty(f)->real()); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
  return Faulty(f)->real()->pMethods->xShmUnmap(Faulty(f)->real(), deleteFlag);
}

// Version 2 of the methods: write-ahead logging needs the shared-memory ones, nothing later.
const sqlite3_io_methods kMethods = {2,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* faulty = Faulty(file);
  int rc = RealVfs(vfs)->xOpen(RealVfs(vfs), name, faulty->real(), flags, outFlags);
  // SQLite calls xClose whenever pMethods is set, even after a failed open.
  file->pMethods = &kMethods;
  return rc;
}

}  // namespace

bool FaultyVfs::Exhausted(std::atomic<int>& left) {
  int now = left.load();
  while (now > 0 && !left.compare_exchange_weak(now, now - 1)) {
  }
  return now == 0;
}

FaultyVfs::FaultyVfs() {
  static sqlite3_vfs vfs;
  sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
  if (real == nullptr) throw std::runtime_error("no default SQLite VFS");
  std::memcpy(&vfs, real, sizeof vfs);
  vfs.szOsFile = static_cast<int>(sizeof(FaultyFile)) + real->szOsFile;
  vfs.pNext = nullptr;
  vfs.zName = name_.c_str();
  vfs.pAppData = real;
  vfs.xOpen = Open;
  if (sqlite3_vfs_register(&vfs, 0) != SQLITE_OK) {
    throw std::runtime_error("cannot register the faulty SQLite VFS");
  }
}

FaultyVfs& FaultyVfs::Get() {
  static FaultyVfs instance;
  return instance;
}

}  // namespace NoxConfigStore::Testing
