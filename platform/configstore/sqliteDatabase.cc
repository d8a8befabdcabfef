#include "platform/configstore/sqliteDatabase.h"

#include "platform/configstore/configStoreException.h"

namespace NoxConfigStore {

namespace {
[[noreturn]] void FailOn(sqlite3* db, const std::string& what) {
  throw ConfigStoreException(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// By default SQLite carves a 20-page block for each connection's page cache at its first read and
// writes a header into every page of it; the store is a few pages, so its pages are allocated as
// they are read instead. Only takes effect before SQLite's first use in the process.
void AllocateCachePagesOnDemand() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    return true;
  }();
  static_cast<void>(configured);
}
}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
  statement_.reset(statement);
  if (rc != SQLITE_OK) FailOn(db_, "Configuration store query failed");
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    FailOn(db_, "Configuration store query failed");
  }
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, sqlite3_int64 number) {
  if (sqlite3_bind_int64(statement_.get(), index, number) != SQLITE_OK) {
    FailOn(db_, "Configuration store query failed");
  }
  return *this;
}

bool SqliteStatement::Step() {
  int rc = sqlite3_step(statement_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  FailOn(db_, "Configuration store query failed");
}

void SqliteStatement::Run() {
  while (Step()) {
  }
}

void SqliteStatement::Reset() { sqlite3_reset(statement_.get()); }

std::string SqliteStatement::ColumnText(int column) const {
  return std::string(ColumnView(column));
}

sqlite3_int64 SqliteStatement::ColumnInt64(int column) const {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string_view SqliteStatement::ColumnView(int column) const {
  const auto* text = sqlite3_column_text(statement_.get(), column);
  int size = sqlite3_column_bytes(statement_.get(), column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text), static_cast<size_t>(size)};
}

SqliteDatabase::SqliteDatabase(const std::string& path, bool readOnly, const std::string& vfs)
    : path_(path), readOnly_(readOnly) {
  AllocateCachePagesOnDemand();
  int flags = SQLITE_OPEN_FULLMUTEX |
              (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, vfs.empty() ? nullptr : vfs.c_str());
  db_.reset(db);
  if (rc != SQLITE_OK) Fail("Cannot open configuration store " + path);
  // SQLite silently falls back to reading a file it may not write; the first write would fail.
  if (!readOnly && sqlite3_db_readonly(db, "main") == 1) {
    throw ConfigStoreException("Cannot open configuration store " + path +
                               " for writing: the file is read-only to this process");
  }
}

void SqliteDatabase::Close() {
  if (db_ && !readOnly_) {
    sqlite3_exec(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  }
  db_.reset();
}

bool SqliteDatabase::FileHasMoved() const {
  int moved = 0;
  // A VFS without the check answers an error; such a file is taken as in place.
  if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) {
    return false;
  }
  return moved != 0;
}

void SqliteDatabase::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string text = error ? error : sqlite3_errmsg(db_.get());
    sqlite3_free(error);
    throw ConfigStoreException("Configuration store " + path_ + " failed: " + text);
  }
}

void SqliteDatabase::Fail(const std::string& what) const { FailOn(db_.get(), what); }

SqliteTransaction::SqliteTransaction(SqliteDatabase& db, Mode mode) : db_(db) {
  db_.Execute(mode == Mode::kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
}

SqliteTransaction::~SqliteTransaction() {
  if (!done_) sqlite3_exec(db_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteTransaction::Commit() {
  db_.Execute("COMMIT");
  done_ = true;
}

}  // namespace NoxConfigStore
