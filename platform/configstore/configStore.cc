#include "platform/configstore/configStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>

#include "platform/basalt/hostPath.h"
#include "platform/configstore/objectCodec.h"
#include "platform/configstore/plainContentReader.h"

namespace NoxConfigStore {

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS objects ("
    " component TEXT NOT NULL, object_group TEXT NOT NULL, object_key TEXT NOT NULL,"
    " instance TEXT NOT NULL, content TEXT NOT NULL,"
    " PRIMARY KEY (component, object_group, object_key, instance))";

// Binds ?1 to ?4: the object's component, group, key and instance id ("" for none).
SqliteStatement& BindObjectId(SqliteStatement& statement, const ConfigStoreObjectId& id) {
  return statement.Bind(1, id.GetComponent())
      .Bind(2, id.GetGroup())
      .Bind(3, id.GetKey())
      .Bind(4, id.GetInstanceId().value_or(""));
}

std::string KeyText(const ConfigStoreObjectId& id) {
  return id.GetComponent() + "/" + id.GetGroup() + "/" + id.GetKey();
}

[[noreturn]] void FailToOpen(const std::string& path, const std::string& why) {
  throw ConfigStoreException("Cannot open configuration store " + path + ": " + why);
}

// A new database is built under a temporary name and moved into place whole: a crash while it is
// created never leaves an empty file at the store's path, which the next start would refuse.
void CreateDatabaseFile(const std::string& path, const std::string& vfs) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 || errno != ENOENT) return;
  const std::string building = path + ".new";
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    ::unlink((building + suffix).c_str());
  }
  {
    SqliteDatabase db(building, false, vfs);
    db.Execute(kCreateTable);
  }
  // Another process may have created the store meanwhile; its file wins.
  if (::renameat2(AT_FDCWD, building.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    int error = errno;
    ::unlink(building.c_str());
    if (error != EEXIST) FailToOpen(path, std::strerror(error));
  }
}

void RefuseEmptyFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0) {
    FailToOpen(path, "the database file is empty");
  }
}

// The database file's path, with the directory and a fresh database created when absent.
std::string PrepareDatabaseFile(const ConfigStoreOptions& options) {
  if (!options.readOnly) {
    std::error_code error;
    std::filesystem::create_directories(options.directory, error);
    if (error) {
      throw ConfigStoreException("Cannot create configuration store directory " +
                                 options.directory + ": " + error.message());
    }
  }
  std::string path = options.directory + "/" + options.nameSpace + ".db";
  if (!options.readOnly) CreateDatabaseFile(path, options.vfs);
  RefuseEmptyFile(path);
  return path;
}

void CheckIntegrity(SqliteDatabase& db, const std::string& path) {
  std::string failure = "Cannot open configuration store " + path;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.Get(), "PRAGMA quick_check", -1, &raw, nullptr) != SQLITE_OK) {
    db.Fail(failure);
  }
  std::unique_ptr<sqlite3_stmt, SqliteFinalizer> check(raw);
  if (sqlite3_step(raw) != SQLITE_ROW) db.Fail(failure);
  const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
  if (verdict == nullptr || std::string_view(verdict) != "ok") {
    throw ConfigStoreException(
        failure + ": the database is damaged: " + (verdict ? verdict : "no integrity verdict"));
  }
}

}  // namespace

ConfigStoreOptions ConfigStoreOptions::ForHost(const std::string& nameSpace) {
  ConfigStoreOptions options;
  options.directory = Basalt::System::HostPath("/var/lib/tessel/configstore");
  options.schemaDirectory = Basalt::System::HostPath("/usr/lib/tessel/configstore/schema");
  options.nameSpace = nameSpace;
  return options;
}

namespace {
// The handles GetStore handed out, by database path. Weak: a database closes with its last user.
struct StoreRegistry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<ConfigStore>> stores;
};
StoreRegistry& Registry() {
  static StoreRegistry registry;
  return registry;
}
}  // namespace

std::shared_ptr<ConfigStore> ConfigStore::GetStore(const std::string& nameSpace) {
  ConfigStoreOptions options = ConfigStoreOptions::ForHost(nameSpace);
  std::string path = options.directory + "/" + nameSpace + ".db";
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  auto& entry = registry.stores[path];
  std::shared_ptr<ConfigStore> store = entry.lock();
  if (!store) {
    store = Open(options);
    entry = store;
  }
  return store;
}

void ConfigStore::CloseAll() {
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  for (auto& [path, entry] : registry.stores) {
    if (auto store = entry.lock()) store->Close();
  }
}

void ConfigStore::Close() {
  std::lock_guard lock(mutex_);
  db_.Close();
}

sqlite3* ConfigStore::Connection() const {
  if (db_.Get() == nullptr) {
    throw ConfigStoreException("Configuration store " + databasePath_ + " is closed");
  }
  return db_.Get();
}

std::shared_ptr<ConfigStore> ConfigStore::Open(const ConfigStoreOptions& options) {
  return std::make_shared<ConfigStore>(options);
}

ConfigStore::ConfigStore(const ConfigStoreOptions& options)
    : databasePath_(PrepareDatabaseFile(options)),
      bootMarkerPath_(options.directory + "/booting"),
      logger_(Basalt::Service::Logger::CreateLogger("ConfigStore")),
      defaults_(SchemaDefaults::Load(options.schemaDirectory)),
      db_(databasePath_, options.readOnly, options.vfs) {
  sqlite3_busy_timeout(db_.Get(), kBusyTimeoutMs);
  CheckIntegrity(db_, databasePath_);
  if (!options.readOnly) {
    // A rollback journal rather than a write-ahead log: a commit that fails (a full disk, a
    // failing sync) leaves a hot journal that rolls it back, even when the process dies before it
    // could, where a log could keep the frames of the failed commit and replay them at the next
    // open. The database file alone then holds every commit, so a copy of it is a backup.
    db_.Execute("PRAGMA journal_mode=DELETE");
    db_.Execute(kCreateTable);
  }
  // EXTRA syncs the directory once the journal is deleted, which is the commit: an acknowledged
  // write survives a power loss too.
  db_.Execute("PRAGMA synchronous=EXTRA");
}

void ConfigStore::Decode(std::string_view content, ConfigStoreObject& into) {
  // The message names the object only when the content needs it: it is built for the general
  // reader alone.
  if (ReadPlainObjectContent(content, into)) return;
  DecodeObjectContent(content, into, "stored object " + into.GetId().ToString());
}

ConfigStoreObjectPtr ConfigStore::GetObject(const ConfigStoreObjectId& id) {
  {
    std::lock_guard lock(mutex_);
    SqliteStatement query(Connection(),
                          "SELECT content FROM objects WHERE component = ?1 AND object_group = ?2"
                          " AND object_key = ?3 AND instance = ?4");
    BindObjectId(query, id);
    if (query.Step()) {
      auto object = std::make_shared<ConfigStoreObject>(id);
      Decode(query.ColumnView(0), *object);
      return object;
    }
  }
  return defaults_.GetDefault(id);
}

std::vector<ConfigStoreObjectPtr> ConfigStore::GetDefaultObjects(
    const FilterSpecObject& filter) const {
  return defaults_.GetDefaults(filter);
}

void ConfigStore::Scan(const FilterSpecObject& filter, ScanPlan plan,
                       const std::function<void(ConfigStoreObjectId, std::string_view)>& found) {
  const auto& id = filter.GetObjectId();
  if (!id) return;
  const auto each = [&](SqliteStatement& row) {
    ConfigStoreObjectId instanceId = id->WithInstanceId(row.ColumnText(0));
    if (filter.Matches(instanceId)) found(std::move(instanceId), row.ColumnView(1));
  };
  if (plan == ScanPlan::kWholeTable) {
    // The table in rowid order, which is the order of writing: no sort, each page read once.
    SqliteStatement query(Connection(),
                          "SELECT instance, content FROM objects NOT INDEXED WHERE component = ?1"
                          " AND object_group = ?2 AND object_key = ?3 AND instance <> ''"
                          " ORDER BY rowid");
    query.Bind(1, id->GetComponent()).Bind(2, id->GetGroup()).Bind(3, id->GetKey());
    while (query.Step()) each(query);
    return;
  }
  SqliteTransaction reading(db_, SqliteTransaction::Mode::kRead);
  // The key's rowids come from the primary key's index alone; sorted here, they give the rows in
  // the order they were first written. Asking SQLite for that order would have it sort the rows
  // themselves, content and all.
  std::vector<sqlite3_int64> rows;
  {
    SqliteStatement ids(Connection(),
                        "SELECT rowid FROM objects WHERE component = ?1 AND object_group = ?2"
                        " AND object_key = ?3 AND instance <> ''");
    ids.Bind(1, id->GetComponent()).Bind(2, id->GetGroup()).Bind(3, id->GetKey());
    while (ids.Step()) rows.push_back(ids.ColumnInt64(0));
  }
  std::sort(rows.begin(), rows.end());
  SqliteStatement row(Connection(), "SELECT instance, content FROM objects WHERE rowid = ?1");
  for (sqlite3_int64 rowid : rows) {
    row.Bind(1, rowid);
    if (row.Step()) each(row);
    row.Reset();
  }
}

std::vector<ConfigStoreObjectPtr> ConfigStore::ListInstances(const FilterSpecObject& filter) {
  std::vector<ConfigStoreObjectPtr> objects;
  std::lock_guard lock(mutex_);
  Scan(filter, ScanPlan::kByIndex, [&objects](ConfigStoreObjectId id, std::string_view content) {
    auto object = std::make_shared<ConfigStoreObject>(std::move(id));
    Decode(content, *object);
    objects.push_back(std::move(object));
  });
  return objects;
}

void ConfigStore::ForEachInstance(const FilterSpecObject& filter,
                                  const std::function<void(const ConfigStoreObject&)>& visit) {
  std::lock_guard lock(mutex_);
  Scan(filter, ScanPlan::kWholeTable, [&visit](ConfigStoreObjectId id, std::string_view content) {
    ConfigStoreObject object(std::move(id));
    Decode(content, object);
    visit(object);
  });
}

size_t ConfigStore::CountInstances(const FilterSpecObject& filter) {
  size_t count = 0;
  std::lock_guard lock(mutex_);
  Scan(filter, ScanPlan::kByIndex, [&count](ConfigStoreObjectId, std::string_view) { ++count; });
  return count;
}

void ConfigStore::WriteInstance(const ConfigStoreObject& object,
                                ConfigStoreBatch::Check beforeCommit) {
  if (!object.GetId().HasInstanceId()) {
    throw ConfigStoreException("Cannot write " + object.GetId().ToString() +
                               " as an instance: it has no instance id");
  }
  Commit(ConfigStoreBatch().Write(object).BeforeCommit(std::move(beforeCommit)));
}

void ConfigStore::WriteObject(const ConfigStoreObject& object) {
  Commit(ConfigStoreBatch().Write(object));
}

void ConfigStore::RemoveObject(const ConfigStoreObjectId& id,
                               ConfigStoreBatch::Check beforeCommit) {
  Commit(ConfigStoreBatch().Remove(id).BeforeCommit(std::move(beforeCommit)));
}

void ConfigStore::Commit(const ConfigStoreBatch& batch) {
  const auto& changes = batch.Changes();
  if (changes.empty()) return;
  std::lock_guard lock(mutex_);
  bool refused = false;
  try {
    Connection();
    SqliteTransaction transaction(db_);
    // Checked under the write lock of the database, so that no writer of this process can move
    // the file between the check and the commit.
    if (db_.FileHasMoved()) {
      logger_->Log(2,
                   "Configuration store %1 was removed or replaced while in use; refusing to write",
                   databasePath_);
      throw ConfigStoreException("the database file " + databasePath_ +
                                 " was removed or replaced while in use");
    }
    SqliteStatement upsert(db_.Get(),
                           "INSERT INTO objects (component, object_group, object_key, instance,"
                           " content) VALUES (?1, ?2, ?3, ?4, ?5)"
                           " ON CONFLICT (component, object_group, object_key, instance)"
                           " DO UPDATE SET content = excluded.content");
    SqliteStatement remove(db_.Get(),
                           "DELETE FROM objects WHERE component = ?1 AND object_group = ?2"
                           " AND object_key = ?3 AND instance = ?4");
    for (const auto& change : changes) {
      SqliteStatement& statement = change.content ? upsert : remove;
      BindObjectId(statement, change.id);
      if (change.content) statement.Bind(5, *change.content);
      statement.Run();
      statement.Reset();
    }
    if (const auto& check = batch.GetCheck()) {
      if (Basalt::Status status = check(); !status.ok()) {
        refused = true;
        throw ConfigStoreException("refused before its commit: " + status.message());
      }
    }
    transaction.Commit();
  } catch (const ConfigStoreException& e) {
    // A refused check is the caller's decision, not a store that fails.
    if (writeFailed_ && !refused) writeFailed_();
    const auto& first = changes.front();
    std::string what = (first.content ? "Writing " : "Removing ") + first.id.ToString();
    if (changes.size() > 1) what += " and " + std::to_string(changes.size() - 1) + " more";
    throw ConfigStoreException(what + " failed: " + e.GetMessage());
  }
}

void ConfigStore::SetWriteFailureObserver(std::function<void()> observer) {
  std::lock_guard lock(mutex_);
  writeFailed_ = std::move(observer);
}

void ConfigStore::SetBootStatus(const ConfigStoreObjectId& id, bool status) {
  std::lock_guard lock(mutex_);
  if (status) {
    bootKeys_.insert(KeyText(id));
  } else {
    bootKeys_.erase(KeyText(id));
  }
}

bool ConfigStore::GetBootStatus(const ConfigStoreObjectId& id) const {
  std::lock_guard lock(mutex_);
  return bootKeys_.count(KeyText(id)) != 0;
}

bool ConfigStore::IsBoot() const {
  std::error_code error;
  return std::filesystem::exists(bootMarkerPath_, error);
}

void ConfigStore::SetBootPhase(bool booting) const {
  std::error_code error;
  if (booting) {
    std::ofstream marker(bootMarkerPath_);
    if (!marker) throw ConfigStoreException("Cannot create boot marker " + bootMarkerPath_);
  } else {
    std::filesystem::remove(bootMarkerPath_, error);
    if (error) {
      throw ConfigStoreException("Cannot remove boot marker " + bootMarkerPath_ + ": " +
                                 error.message());
    }
  }
}

std::string ConfigStore::GenerateInstanceId() const {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

}  // namespace NoxConfigStore
