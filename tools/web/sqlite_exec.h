// Runs SQL text without results on an open SQLite connection: the
// statements of a schema, an upgrade or a transaction's edges.
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

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SQLITE_EXEC_H_
