#include "platform/configstore/configStore.h"

#include <uuid/uuid.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>

#include "platform/basalt/hostPath.h"
#include "platform/configstore/objectCodec.h"

namespace NoxConfigStore {

namespace {

constexpr int kBusyTimeoutMs = 5000;

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

std::string PrepareDirectory(const ConfigStoreOptions& options) {
  if (!options.readOnly) {
    std::error_code error;
    std::filesystem::create_directories(options.directory, error);
    if (error) {
      throw ConfigStoreException("Cannot create configuration store directory " +
                                 options.directory + ": " + error.message());
    }
  }
  return options.directory + "/" + options.nameSpace + ".db";
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

std::shared_ptr<ConfigStore> ConfigStore::GetStore(const std::string& nameSpace) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<ConfigStore>> stores;
  ConfigStoreOptions options = ConfigStoreOptions::ForHost(nameSpace);
  std::string path = options.directory + "/" + nameSpace + ".db";
  std::lock_guard lock(mutex);
  auto& store = stores[path];
  if (!store) store = Open(options);
  return store;
}

std::shared_ptr<ConfigStore> ConfigStore::Open(const ConfigStoreOptions& options) {
  return std::make_shared<ConfigStore>(options);
}

ConfigStore::ConfigStore(const ConfigStoreOptions& options)
    : databasePath_(PrepareDirectory(options)),
      bootMarkerPath_(options.directory + "/booting"),
      defaults_(SchemaDefaults::Load(options.schemaDirectory)),
      db_(databasePath_, options.readOnly) {
  sqlite3_busy_timeout(db_.Get(), kBusyTimeoutMs);
  CheckIntegrity(db_, databasePath_);
  if (!options.readOnly) {
    db_.Execute("PRAGMA journal_mode=WAL");
    db_.Execute(
        "CREATE TABLE IF NOT EXISTS objects ("
        " component TEXT NOT NULL, object_group TEXT NOT NULL, object_key TEXT NOT NULL,"
        " instance TEXT NOT NULL, content TEXT NOT NULL,"
        " PRIMARY KEY (component, object_group, object_key, instance))");
  }
  db_.Execute("PRAGMA synchronous=FULL");
}

ConfigStoreObjectPtr ConfigStore::Decode(const ConfigStoreObjectId& id,
                                         const std::string& content) const {
  auto object = std::make_shared<ConfigStoreObject>(id);
  DecodeObjectContent(content, *object, "stored object " + id.ToString());
  return object;
}

ConfigStoreObjectPtr ConfigStore::GetObject(const ConfigStoreObjectId& id) {
  {
    std::lock_guard lock(mutex_);
    SqliteStatement query(db_.Get(),
                          "SELECT content FROM objects WHERE component = ?1 AND object_group = ?2"
                          " AND object_key = ?3 AND instance = ?4");
    BindObjectId(query, id);
    if (query.Step()) return Decode(id, query.ColumnText(0));
  }
  return defaults_.GetDefault(id);
}

std::vector<ConfigStoreObjectPtr> ConfigStore::GetDefaultObjects(
    const FilterSpecObject& filter) const {
  return defaults_.GetDefaults(filter);
}

std::vector<ConfigStoreObjectPtr> ConfigStore::ListInstances(const FilterSpecObject& filter) {
  std::vector<ConfigStoreObjectPtr> found;
  const auto& id = filter.GetObjectId();
  if (!id) return found;
  std::lock_guard lock(mutex_);
  SqliteStatement query(db_.Get(),
                        "SELECT instance, content FROM objects WHERE component = ?1"
                        " AND object_group = ?2 AND object_key = ?3 AND instance <> ''"
                        " ORDER BY rowid");
  query.Bind(1, id->GetComponent()).Bind(2, id->GetGroup()).Bind(3, id->GetKey());
  while (query.Step()) {
    ConfigStoreObjectId instanceId = id->WithInstanceId(query.ColumnText(0));
    if (filter.Matches(instanceId)) found.push_back(Decode(instanceId, query.ColumnText(1)));
  }
  return found;
}

void ConfigStore::WriteInstance(const ConfigStoreObject& object) {
  if (!object.GetId().HasInstanceId()) {
    throw ConfigStoreException("Cannot write " + object.GetId().ToString() +
                               " as an instance: it has no instance id");
  }
  Write(object);
}

void ConfigStore::WriteObject(const ConfigStoreObject& object) { Write(object); }

void ConfigStore::Write(const ConfigStoreObject& object) {
  const ConfigStoreObjectId& id = object.GetId();
  std::string content = EncodeObjectContent(object);
  std::lock_guard lock(mutex_);
  try {
    SqliteTransaction transaction(db_);
    SqliteStatement upsert(db_.Get(),
                           "INSERT INTO objects (component, object_group, object_key, instance,"
                           " content) VALUES (?1, ?2, ?3, ?4, ?5)"
                           " ON CONFLICT (component, object_group, object_key, instance)"
                           " DO UPDATE SET content = excluded.content");
    BindObjectId(upsert, id).Bind(5, content).Run();
    transaction.Commit();
  } catch (const ConfigStoreException& e) {
    if (writeFailed_) writeFailed_();
    throw ConfigStoreException("Writing " + id.ToString() + " failed: " + e.GetMessage());
  }
}

void ConfigStore::RemoveObject(const ConfigStoreObjectId& id) {
  std::lock_guard lock(mutex_);
  try {
    SqliteTransaction transaction(db_);
    SqliteStatement remove(db_.Get(),
                           "DELETE FROM objects WHERE component = ?1 AND object_group = ?2"
                           " AND object_key = ?3 AND instance = ?4");
    BindObjectId(remove, id).Run();
    transaction.Commit();
  } catch (const ConfigStoreException& e) {
    if (writeFailed_) writeFailed_();
    throw ConfigStoreException("Removing " + id.ToString() + " failed: " + e.GetMessage());
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
