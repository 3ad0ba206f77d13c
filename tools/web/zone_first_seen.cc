#include "tools/web/zone_first_seen.h"

#include <sqlite3.h>

#include <iostream>

#include "tools/web/sqlite_exec.h"

namespace kestu_tools {
namespace {

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS zone_first_seen ("
    " process TEXT NOT NULL, driver TEXT NOT NULL, zone TEXT NOT NULL,"
    " first_seen REAL NOT NULL, from_history INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (process, driver, zone)) WITHOUT ROWID";

// Lines the history holds zone events of, from the first hour of them.
constexpr const char* kFromHistory =
    "INSERT OR IGNORE INTO zone_first_seen"
    " SELECT process, driver, zone, min(hour) * 3600, 1 FROM hourly_counts"
    " WHERE tag IN ('ZONE_EXIT', 'ZONE_ENTER') AND zone != ''"
    " GROUP BY process, driver, zone";

std::string Text(sqlite3_stmt* statement, int index) {
  const auto* text = sqlite3_column_text(statement, index);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text));
}

}  // namespace

ZoneFirstSeen::~ZoneFirstSeen() { sqlite3_close(db_); }

bool ZoneFirstSeen::Open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
      SQLITE_OK) {
    *error = "cannot open " + path +
             " for the lines' first sightings: " + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  for (const char* sql : {kCreate, kFromHistory}) {
    std::string why;
    if (!ExecuteSql(db_, sql, &why)) {
      *error = "cannot keep the lines' first sightings in " + path + ": " + why;
      return false;
    }
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT process, driver, zone, first_seen,"
                         " from_history FROM zone_first_seen",
                         -1, &statement, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    Entry entry{Text(statement, 0), Text(statement, 1), Text(statement, 2),
                sqlite3_column_double(statement, 3),
                sqlite3_column_int(statement, 4) != 0};
    seen_[Key(entry.process, entry.driver, entry.zone)] = entry;
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db_);
  return rc == SQLITE_DONE;
}

void ZoneFirstSeen::Saw(const std::string& process, const std::string& driver,
                        const std::string& zone, double time) {
  if (zone.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const Key key(process, driver, zone);
  auto found = seen_.find(key);
  if (found != seen_.end() && found->second.first_seen <= time) return;
  seen_[key] = {process, driver, zone, time, false};
  if (db_ == nullptr) return;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(
      db_,
      "INSERT INTO zone_first_seen (process, driver, zone, first_seen,"
      " from_history) VALUES (?1, ?2, ?3, ?4, 0) ON CONFLICT DO UPDATE SET"
      " first_seen = excluded.first_seen, from_history = 0"
      " WHERE excluded.first_seen < first_seen",
      -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    int index = 1;
    for (const std::string* text : {&process, &driver, &zone}) {
      sqlite3_bind_text(statement, index++, text->data(),
                        static_cast<int>(text->size()), SQLITE_TRANSIENT);
    }
    sqlite3_bind_double(statement, 4, time);
    rc = sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) {
    std::cerr << "kestu-web: cannot keep when the line \"" << zone << "\" of "
              << driver << " of " << process
              << " was first seen: " << sqlite3_errmsg(db_) << std::endl;
  }
}

std::vector<ZoneFirstSeen::Entry> ZoneFirstSeen::Lines(
    const std::string& process, const std::string& driver) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> lines;
  for (const auto& [key, entry] : seen_) {
    if (entry.process == process &&
        (driver.empty() || entry.driver == driver)) {
      lines.push_back(entry);
    }
  }
  return lines;
}

}  // namespace kestu_tools
