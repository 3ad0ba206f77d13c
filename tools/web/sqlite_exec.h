// Small SQLite helpers shared by kestu-web's stores: SQL text run without
// results (a schema, an upgrade, a transaction's edges) and a read-only
// connection of its own.
#ifndef TOOLS_WEB_SQLITE_EXEC_H_
#define TOOLS_WEB_SQLITE_EXEC_H_

#include <sqlite3.h>

#include <string>

namespace kestu_tools {

// False with SQLite's message in *error.
inline bool ExecuteSql(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) {
    return true;
  }
  *error = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

// A read-only connection of its own to the database at `path`, waiting up
// to `busy_timeout_ms` for a writer; null with the reason in *error.
inline sqlite3* OpenSqliteReader(const std::string& path, int busy_timeout_ms,
                                 std::string* error) {
  sqlite3* reader = nullptr;
  if (sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) !=
      SQLITE_OK) {
    *error = std::string("cannot read the database: ") + sqlite3_errmsg(reader);
    sqlite3_close(reader);
    return nullptr;
  }
  sqlite3_busy_timeout(reader, busy_timeout_ms);
  return reader;
}

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SQLITE_EXEC_H_
