// Thin owning wrappers over SQLite connections and statements; every failure raises
// ConfigStoreException with SQLite's own text.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

namespace NoxConfigStore {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);

  SqliteStatement& Bind(int index, std::string_view text);
  SqliteStatement& Bind(int index, sqlite3_int64 number);

  // True while a row is available; false when done.
  bool Step();
  // Runs a statement that returns no row.
  void Run();
  // Makes the statement ready to run again; bindings stay until replaced.
  void Reset();

  std::string ColumnText(int column) const;
  sqlite3_int64 ColumnInt64(int column) const;
  // The column's text in place: valid until the next Step, Reset or the statement's end.
  std::string_view ColumnView(int column) const;

 private:
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, SqliteFinalizer> statement_;
};

// One connection. Not copyable; Get() hands out the handle for statements, which must not outlive
// the object.
class SqliteDatabase {
 public:
  // Opens (or, unless readOnly, creates) the database file through the VFS named `vfs` (empty:
  // SQLite's default). Unless readOnly, a file that this process may only read is refused here
  // rather than at the first write.
  SqliteDatabase(const std::string& path, bool readOnly, const std::string& vfs = {});
  ~SqliteDatabase() { Close(); }
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Closes the connection; a writable one in write-ahead-log mode first moves what the log holds
  // into the database file and empties the log, so that the database file alone is complete.
  // Get() is null afterwards. Closing twice does nothing.
  void Close();

  sqlite3* Get() const { return db_.get(); }
  void Execute(const char* sql);

  // True when the path no longer names the file this connection has open (removed, or replaced
  // by another file). Writes would then reach a file that nobody will open again.
  bool FileHasMoved() const;

  [[noreturn]] void Fail(const std::string& what) const;

 private:
  std::string path_;
  bool readOnly_;
  std::unique_ptr<sqlite3, SqliteCloser> db_;
};

// Commits at Commit(); rolls back when the scope ends without it. A writing transaction takes the
// database's write lock at once; a reading one sees one state of the database throughout.
class SqliteTransaction {
 public:
  enum class Mode { kWrite, kRead };
  explicit SqliteTransaction(SqliteDatabase& db, Mode mode = Mode::kWrite);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  void Commit();

 private:
  SqliteDatabase& db_;
  bool done_ = false;
};

}  // namespace NoxConfigStore
