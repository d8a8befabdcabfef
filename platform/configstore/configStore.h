// The host configuration store: typed objects that survive restarts, kept in one SQLite database
// per namespace, with default objects declared by schema files.
//
// Files, all under $TESSEL_ROOT when it is set:
//   /var/lib/tessel/configstore/<namespace>.db   the objects; every commit is one transaction
//   /var/lib/tessel/configstore/booting          present while the store is still starting
//   /usr/lib/tessel/configstore/schema/*.json     schema files with default objects
//
// A handle is safe to share between threads. The database closes, complete in its file, when the
// last holder of the handle lets go.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/basalt/logger.h"
#include "platform/configstore/configStoreBatch.h"
#include "platform/configstore/configStoreException.h"
#include "platform/configstore/configStoreObject.h"
#include "platform/configstore/configStoreObjectId.h"
#include "platform/configstore/filterSpecObject.h"
#include "platform/configstore/schemaDefaults.h"
#include "platform/configstore/sqliteDatabase.h"

namespace NoxConfigStore {

inline const std::string sGlobalNamespace = "global";

struct ConfigStoreOptions {
  std::string directory;        // holds <nameSpace>.db and the boot marker
  std::string schemaDirectory;  // *.json schema files
  std::string nameSpace = sGlobalNamespace;
  bool readOnly = false;  // every write then fails with ConfigStoreException
  std::string vfs;  // a registered SQLite VFS to open the file through (tests); empty: default

  // The host's locations for a namespace.
  static ConfigStoreOptions ForHost(const std::string& nameSpace);
};

class ConfigStore {
 public:
  // The shared handle of the host's store for a namespace, opened when no handle of it is held.
  // Raises ConfigStoreException when the database cannot be opened, is corrupt or is an empty
  // file (a database file is never empty once created; an empty one has lost its content).
  static std::shared_ptr<ConfigStore> GetStore(const std::string& nameSpace);

  // A new, unshared handle (tests, tools).
  static std::shared_ptr<ConfigStore> Open(const ConfigStoreOptions& options);

  explicit ConfigStore(const ConfigStoreOptions& options);

  // The stored object with this id; else the schema's default with this id; else null.
  ConfigStoreObjectPtr GetObject(const ConfigStoreObjectId& id);

  // The schema's default objects that the filter selects.
  std::vector<ConfigStoreObjectPtr> GetDefaultObjects(const FilterSpecObject& filter) const;

  // The stored objects with an instance id that the filter selects, oldest first.
  std::vector<ConfigStoreObjectPtr> ListInstances(const FilterSpecObject& filter);

  // The same objects in the same order, handed to `visit` one at a time, so that a key with many
  // objects is read without holding them all. Meant for a key that holds most of the store: it
  // reads the whole table once, where ListInstances looks the key's objects up one by one. The
  // store's lock is held meanwhile: `visit` must not use the store. What `visit` raises ends the
  // walk and reaches the caller.
  void ForEachInstance(const FilterSpecObject& filter,
                       const std::function<void(const ConfigStoreObject&)>& visit);

  // How many objects ListInstances would return.
  size_t CountInstances(const FilterSpecObject& filter);

  // Replaces the stored object of the same id, atomically. WriteInstance insists on an instance
  // id; WriteObject takes either form. `beforeCommit` as in ConfigStoreBatch::BeforeCommit.
  void WriteInstance(const ConfigStoreObject& object,
                     ConfigStoreBatch::Check beforeCommit = nullptr);
  void WriteObject(const ConfigStoreObject& object);

  // Removes the object; removing an absent object succeeds.
  void RemoveObject(const ConfigStoreObjectId& id, ConfigStoreBatch::Check beforeCommit = nullptr);

  // Applies every change of the batch in one transaction: when this returns they are all on disk;
  // when it raises ConfigStoreException none is. Every write, the single ones above included, is
  // refused when the database file was removed or replaced since it was opened, and when the
  // batch's check fails (its status's message then ends the exception's).
  void Commit(const ConfigStoreBatch& batch);

  // Called, with the store's lock held, each time a write or removal fails (before it throws).
  // Must be quick and must not use the store. Replaces an earlier observer; empty clears it.
  void SetWriteFailureObserver(std::function<void()> observer);

  // Records that the caller reads the key while the host starts.
  void SetBootStatus(const ConfigStoreObjectId& id, bool status);
  bool GetBootStatus(const ConfigStoreObjectId& id) const;

  // True while the boot marker file exists.
  bool IsBoot() const;
  // Creates or removes the boot marker (the host's start-up sequence, tools and tests).
  void SetBootPhase(bool booting) const;

  // A new random instance id.
  std::string GenerateInstanceId() const;

  const std::string& GetDatabasePath() const { return databasePath_; }

  // Checkpoints the database into its file and closes it; every later read or write raises
  // ConfigStoreException. For a process that stops while handles may still be held.
  void Close();
  // Closes every handle that GetStore handed out and that is still held.
  static void CloseAll();

 private:
  // The open connection (the caller holds mutex_); raises once closed.
  sqlite3* Connection() const;
  // Fills `into` (empty, with its id) from stored content; raises for content that is not valid.
  static void Decode(std::string_view content, ConfigStoreObject& into);
  enum class ScanPlan { kByIndex, kWholeTable };
  // Calls `found` with the id and content of each object ListInstances selects, in its order
  // (mutex_ held). Both plans find the same objects; which is cheaper depends on the key's share
  // of the table.
  void Scan(const FilterSpecObject& filter, ScanPlan plan,
            const std::function<void(ConfigStoreObjectId, std::string_view)>& found);

  std::string databasePath_;
  std::string bootMarkerPath_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  SchemaDefaults defaults_;
  mutable std::mutex mutex_;  // one statement sequence at a time on the connection
  SqliteDatabase db_;
  std::set<std::string> bootKeys_;
  std::function<void()> writeFailed_;  // guarded by mutex_
};

}  // namespace NoxConfigStore
