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
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  if (FaultyVfs::Get().WriteFails()) return SQLITE_FULL;
  return Faulty(f)->real()->pMethods->xWrite(Faulty(f)->real(), buffer, amount, offset);
}
int Sync(sqlite3_file* f, int flags) {
  if (FaultyVfs::Get().SyncFails()) return SQLITE_IOERR_FSYNC;
  return Faulty(f)->real()->pMethods->xSync(Faulty(f)->real(), flags);
}

// Every other method passes the call on to the default VFS's file unchanged.
using Io = sqlite3_io_methods;
template <auto Method>
struct Forward;
template <class R, class... Args, R (*Io::*Method)(sqlite3_file*, Args...)>
struct Forward<Method> {
  static R Call(sqlite3_file* f, Args... args) {
    return (Faulty(f)->real()->pMethods->*Method)(Faulty(f)->real(), args...);
  }
};
template <auto Method>
constexpr auto kForward = &Forward<Method>::Call;

// Version 2 of the methods: write-ahead logging needs the shared-memory ones, nothing later.
const Io kMethods{2,
                  Close,
                  kForward<&Io::xRead>,
                  Write,
                  kForward<&Io::xTruncate>,
                  Sync,
                  kForward<&Io::xFileSize>,
                  kForward<&Io::xLock>,
                  kForward<&Io::xUnlock>,
                  kForward<&Io::xCheckReservedLock>,
                  kForward<&Io::xFileControl>,
                  kForward<&Io::xSectorSize>,
                  kForward<&Io::xDeviceCharacteristics>,
                  kForward<&Io::xShmMap>,
                  kForward<&Io::xShmLock>,
                  kForward<&Io::xShmBarrier>,
                  kForward<&Io::xShmUnmap>,
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
