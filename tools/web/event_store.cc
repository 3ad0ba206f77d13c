#include "tools/web/event_store.h"

#include <sqlite3.h>

#include <cmath>
#include <iterator>
#include <map>
#include <memory>
#include <tuple>

#include "tools/web/sqlite_exec.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kPruneChunk = 5000;
constexpr int64_t kHour = 3600;

// Version 1, which a new file is created with before it is brought to the
// current version as an old one is.
constexpr const char* kSchema[] = {
    "CREATE TABLE schema_version (version INTEGER NOT NULL)",
    "CREATE TABLE events ("
    " id INTEGER PRIMARY KEY, process TEXT NOT NULL, driver TEXT NOT NULL,"
    " time REAL NOT NULL, tag TEXT NOT NULL, zone TEXT NOT NULL,"
    " direction TEXT NOT NULL, speed REAL, tracking_id INTEGER,"
    " type TEXT NOT NULL, result TEXT NOT NULL)",
    "CREATE INDEX events_by_time ON events (time, driver, zone)",
    "CREATE TABLE statuses ("
    " id INTEGER PRIMARY KEY, process TEXT NOT NULL, driver TEXT NOT NULL,"
    " time REAL NOT NULL, type TEXT NOT NULL, message TEXT NOT NULL,"
    " uuid TEXT NOT NULL, status TEXT NOT NULL)",
    "CREATE INDEX statuses_by_time ON statuses (time)",
    "CREATE TABLE hourly_counts ("
    " process TEXT NOT NULL, driver TEXT NOT NULL, tag TEXT NOT NULL,"
    " zone TEXT NOT NULL, direction TEXT NOT NULL, hour INTEGER NOT NULL,"
    " count INTEGER NOT NULL,"
    " PRIMARY KEY (process, driver, hour, zone, direction, tag)) WITHOUT ROWID",
    "CREATE INDEX hourly_counts_by_hour ON hourly_counts (hour)",
    "CREATE TABLE configurations ("
    " process TEXT NOT NULL, driver TEXT NOT NULL, time REAL NOT NULL,"
    " config BLOB NOT NULL, PRIMARY KEY (process, driver))",
};

// What brings version 1 to 2: journal numbers on the events, unique per
// journal, and the positions. Adding a column with a constant default
// leaves the rows as they are; the index reads them once.
constexpr const char* kVersion2[] = {
    "ALTER TABLE events ADD COLUMN sequence INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE events ADD COLUMN journal TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE events ADD COLUMN part INTEGER NOT NULL DEFAULT 0",
    "CREATE UNIQUE INDEX events_by_sequence ON events"
    " (process, driver, journal, sequence, part) WHERE sequence > 0",
    "CREATE TABLE journal_positions ("
    " process TEXT NOT NULL, driver TEXT NOT NULL, journal_id TEXT NOT NULL,"
    " sequence INTEGER NOT NULL, time REAL NOT NULL,"
    " PRIMARY KEY (process, driver))",
};

// A prepared statement finalised when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) !=
        SQLITE_OK) {
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(),
                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string Column(sqlite3_stmt* statement, int index) {
  const auto* text = sqlite3_column_text(statement, index);
  return text == nullptr
             ? std::string()
             : std::string(
                   reinterpret_cast<const char*>(text),
                   static_cast<size_t>(sqlite3_column_bytes(statement, index)));
}

// Steps a statement that returns no rows and resets it for the next use.
bool Run(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return rc == SQLITE_DONE;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The filters of a counts query as SQL conditions with their values, in
// the order they are bound after the leading parameters.
struct Filters {
  std::string sql;
  std::vector<std::string> values;
};

Filters MakeFilters(const CountsQuery& q) {
  Filters f;
  const std::pair<const char*, const std::string*> columns[] = {
      {"process", &q.process},
      {"driver", &q.driver},
      {"zone", &q.zone},
      {"tag", &q.tag}};
  for (const auto& [column, value] : columns) {
    if (value->empty()) continue;
    f.sql += std::string(" AND ") + column + " = ?";
    f.values.push_back(*value);
  }
  return f;
}

using BucketKey = std::tuple<int64_t, std::string, std::string, std::string,
                             std::string, std::string>;

// Counts the raw events of [from, to) into the buckets.
bool CountEvents(sqlite3* db, const CountsQuery& q, int64_t from, int64_t to,
                 std::map<BucketKey, int64_t>* buckets) {
  const Filters f = MakeFilters(q);
  Statement s(db,
              "SELECT CAST((time + ?1) / ?2 AS INTEGER), process, driver, tag,"
              " zone, direction, count(*) FROM events"
              " WHERE time >= ?3 AND time < ?4" +
                  f.sql + " GROUP BY 1, 2, 3, 4, 5, 6");
  if (s.get() == nullptr) return false;
  sqlite3_bind_int64(s.get(), 1, q.utc_offset_seconds);
  sqlite3_bind_int64(s.get(), 2, q.bucket_seconds);
  sqlite3_bind_int64(s.get(), 3, from);
  sqlite3_bind_int64(s.get(), 4, to);
  for (size_t i = 0; i < f.values.size(); ++i) {
    BindText(s.get(), static_cast<int>(i) + 5, f.values[i]);
  }
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const int64_t start = sqlite3_column_int64(s.get(), 0) * q.bucket_seconds -
                          q.utc_offset_seconds;
    (*buckets)[BucketKey(start, Column(s.get(), 1), Column(s.get(), 2),
                         Column(s.get(), 3), Column(s.get(), 4),
                         Column(s.get(), 5))] +=
        sqlite3_column_int64(s.get(), 6);
  }
  return rc == SQLITE_DONE;
}

// Counts whole hours [first_hour, end_hour) from the hourly table.
bool CountHours(sqlite3* db, const CountsQuery& q, int64_t first_hour,
                int64_t end_hour, std::map<BucketKey, int64_t>* buckets) {
  const Filters f = MakeFilters(q);
  Statement s(db,
              "SELECT hour, process, driver, tag, zone, direction, count"
              " FROM hourly_counts WHERE hour >= ?1 AND hour < ?2" +
                  f.sql);
  if (s.get() == nullptr) return false;
  sqlite3_bind_int64(s.get(), 1, first_hour);
  sqlite3_bind_int64(s.get(), 2, end_hour);
  for (size_t i = 0; i < f.values.size(); ++i) {
    BindText(s.get(), static_cast<int>(i) + 3, f.values[i]);
  }
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const int64_t time = sqlite3_column_int64(s.get(), 0) * kHour;
    const int64_t start =
        FloorDiv(time + q.utc_offset_seconds, q.bucket_seconds) *
            q.bucket_seconds -
        q.utc_offset_seconds;
    (*buckets)[BucketKey(start, Column(s.get(), 1), Column(s.get(), 2),
                         Column(s.get(), 3), Column(s.get(), 4),
                         Column(s.get(), 5))] +=
        sqlite3_column_int64(s.get(), 6);
  }
  return rc == SQLITE_DONE;
}

}  // namespace

EventStore::~EventStore() {
  for (sqlite3_stmt* statement :
       {insert_event_, count_hour_, insert_status_, set_position_}) {
    sqlite3_finalize(statement);
  }
  if (db_ != nullptr) sqlite3_close(db_);
}

bool EventStore::Execute(const char* sql, std::string* error) {
  return ExecuteSql(db_, sql, error);
}

bool EventStore::Open(const std::string& path, std::string* error) {
  path_ = path;
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    *error = "cannot open the database " + path + ": " + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (sqlite3_db_readonly(db_, "main") == 1) {
    *error = "the database " + path + " is not writable";
    return false;
  }
  return Check(error);
}

bool EventStore::Check(std::string* error) {
  const std::string kept =
      "; the file was left as it is: move it away or "
      "give another --database";
  int tables = 0;
  int found = 0;  // the file's schema version; 0: a new file
  {
    Statement count(db_, "SELECT count(*) FROM sqlite_master");
    if (count.get() == nullptr || sqlite3_step(count.get()) != SQLITE_ROW) {
      const int code = sqlite3_errcode(db_);
      *error = (code == SQLITE_NOTADB || code == SQLITE_CORRUPT
                    ? "the database " + path_ +
                          " is damaged or not an SQLite database ("
                    : "cannot read the database " + path_ + " (") +
               sqlite3_errmsg(db_) + ")" + kept;
      return false;
    }
    tables = sqlite3_column_int(count.get(), 0);
  }
  {
    Statement check(db_, "PRAGMA quick_check(1)");
    const bool read =
        check.get() != nullptr && sqlite3_step(check.get()) == SQLITE_ROW;
    const std::string answer =
        read ? Column(check.get(), 0) : sqlite3_errmsg(db_);
    if (answer != "ok") {
      *error = "the database " + path_ + " is damaged (" + answer + ")" + kept;
      return false;
    }
  }
  if (tables > 0) {
    Statement version(db_, "SELECT version FROM schema_version");
    if (version.get() == nullptr || sqlite3_step(version.get()) != SQLITE_ROW) {
      *error = path_ +
               " is an SQLite database but not kestu-web's (it has "
               "no schema version)" +
               kept;
      return false;
    }
    found = sqlite3_column_int(version.get(), 0);
    if (found < 1 || found > kSchemaVersion) {
      *error = "the database " + path_ + " has schema version " +
               std::to_string(found) + "; this kestu-web reads versions 1 to " +
               std::to_string(kSchemaVersion) + kept;
      return false;
    }
  }
  // WAL lets queries read while the writer writes.
  {
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    const bool set = wal.get() != nullptr &&
                     sqlite3_step(wal.get()) == SQLITE_ROW &&
                     Column(wal.get(), 0) == "wal";
    if (!set) {
      *error = "cannot switch the database " + path_ + " to WAL mode (" +
               sqlite3_errmsg(db_) + ")";
      return false;
    }
  }
  std::string reason;
  if (!Execute("PRAGMA synchronous=NORMAL", &reason) ||
      (found < kSchemaVersion && !CreateSchema(found, &reason))) {
    *error = "cannot write the database " + path_ + " (" + reason + ")";
    return false;
  }
  return true;
}

bool EventStore::CreateSchema(int from_version, std::string* error) {
  std::vector<const char*> steps;
  if (from_version < 1) steps.assign(std::begin(kSchema), std::end(kSchema));
  if (from_version < 2) {
    steps.insert(steps.end(), std::begin(kVersion2), std::end(kVersion2));
  }
  const std::string version =
      (from_version == 0 ? "INSERT INTO schema_version VALUES ("
                         : "UPDATE schema_version SET version = (") +
      std::to_string(kSchemaVersion) + ")";
  steps.push_back(version.c_str());
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  for (const char* sql : steps) {
    if (!Execute(sql, error)) {
      std::string ignored;
      Execute("ROLLBACK", &ignored);
      return false;
    }
  }
  if (!Execute("COMMIT", error)) {
    std::string ignored;
    Execute("ROLLBACK", &ignored);
    return false;
  }
  return true;
}

sqlite3_stmt* EventStore::Prepare(sqlite3_stmt** slot, const char* sql) {
  if (*slot == nullptr) sqlite3_prepare_v2(db_, sql, -1, slot, nullptr);
  return *slot;
}

bool EventStore::Append(const std::vector<StoredEvent>& events,
                        const std::vector<StoredStatus>& statuses,
                        const std::vector<StoredPosition>& positions,
                        std::string* error) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (db_ == nullptr) {
    *error = "the database is not open";
    return false;
  }
  sqlite3_stmt* insert_event = Prepare(
      &insert_event_,
      "INSERT INTO events (process, driver, time, tag, zone, direction, speed,"
      " tracking_id, type, result, sequence, journal, part) VALUES (?1, ?2,"
      " ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13) ON CONFLICT DO"
      " NOTHING");
  sqlite3_stmt* count_hour = Prepare(
      &count_hour_,
      "INSERT INTO hourly_counts (process, driver, tag, zone, direction, hour,"
      " count) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 1) ON CONFLICT DO UPDATE SET"
      " count = count + 1");
  sqlite3_stmt* insert_status =
      Prepare(&insert_status_,
              "INSERT INTO statuses (process, driver, time, type, message, "
              "uuid, status)"
              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  // Within a journal a position only goes forward; a new journal replaces
  // it.
  sqlite3_stmt* set_position = Prepare(
      &set_position_,
      "INSERT INTO journal_positions (process, driver, journal_id, sequence,"
      " time) VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (process, driver) DO"
      " UPDATE SET journal_id = excluded.journal_id, sequence ="
      " excluded.sequence, time = excluded.time WHERE journal_id !="
      " excluded.journal_id OR sequence < excluded.sequence");
  if (insert_event == nullptr || count_hour == nullptr ||
      insert_status == nullptr || set_position == nullptr) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  bool ok = true;
  for (const StoredEvent& e : events) {
    if (!ok) break;
    BindText(insert_event, 1, e.process);
    BindText(insert_event, 2, e.driver);
    sqlite3_bind_double(insert_event, 3, e.time);
    BindText(insert_event, 4, e.tag);
    BindText(insert_event, 5, e.zone);
    BindText(insert_event, 6, e.direction);
    if (e.has_speed) sqlite3_bind_double(insert_event, 7, e.speed);
    sqlite3_bind_int64(insert_event, 8, e.tracking_id);
    BindText(insert_event, 9, e.type);
    BindText(insert_event, 10, e.result_json);
    sqlite3_bind_int64(insert_event, 11, static_cast<int64_t>(e.sequence));
    BindText(insert_event, 12, e.journal_id);
    sqlite3_bind_int(insert_event, 13, e.part);
    ok = Run(insert_event);
    // Held already: counted already.
    if (ok && sqlite3_changes(db_) == 0) continue;
    BindText(count_hour, 1, e.process);
    BindText(count_hour, 2, e.driver);
    BindText(count_hour, 3, e.tag);
    BindText(count_hour, 4, e.zone);
    BindText(count_hour, 5, e.direction);
    sqlite3_bind_int64(count_hour, 6,
                       static_cast<int64_t>(std::floor(e.time / kHour)));
    ok = ok && Run(count_hour);
  }
  for (const StoredStatus& s : statuses) {
    if (!ok) break;
    BindText(insert_status, 1, s.process);
    BindText(insert_status, 2, s.driver);
    sqlite3_bind_double(insert_status, 3, s.time);
    BindText(insert_status, 4, s.type);
    BindText(insert_status, 5, s.message);
    BindText(insert_status, 6, s.uuid);
    BindText(insert_status, 7, s.status_json);
    ok = Run(insert_status);
  }
  for (const StoredPosition& p : positions) {
    if (!ok) break;
    BindText(set_position, 1, p.process);
    BindText(set_position, 2, p.driver);
    BindText(set_position, 3, p.journal_id);
    sqlite3_bind_int64(set_position, 4, static_cast<int64_t>(p.sequence));
    sqlite3_bind_double(set_position, 5, EpochSeconds());
    ok = Run(set_position);
  }
  if (ok && Execute("COMMIT", error)) return true;
  if (error->empty()) *error = sqlite3_errmsg(db_);
  std::string ignored;
  Execute("ROLLBACK", &ignored);
  return false;
}

int64_t EventStore::Prune(double before, std::string* error) {
  const int64_t hour = static_cast<int64_t>(std::floor(before / kHour));
  const std::string limit = " LIMIT " + std::to_string(kPruneChunk) + ")";
  // The raw tables go in chunks, one short transaction each, so that the
  // writer lock is let go between them; the hourly table is small.
  const std::pair<std::string, int64_t> deletes[] = {
      {"DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ?1" +
           limit,
       hour * kHour},
      {"DELETE FROM statuses WHERE id IN (SELECT id FROM statuses WHERE time < "
       "?1" +
           limit,
       hour * kHour},
      {"DELETE FROM hourly_counts WHERE hour < ?1", hour}};
  int64_t deleted = 0;
  for (const auto& [sql, bound] : deletes) {
    int changed = kPruneChunk;
    while (changed >= kPruneChunk) {
      std::lock_guard<std::mutex> lock(write_mutex_);
      Statement s(db_, sql);
      if (s.get() == nullptr) {
        *error = sqlite3_errmsg(db_);
        return -1;
      }
      sqlite3_bind_int64(s.get(), 1, bound);
      if (sqlite3_step(s.get()) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return -1;
      }
      changed = sqlite3_changes(db_);
      deleted += changed;
      if (sql.find("LIMIT") == std::string::npos) break;
    }
  }
  return deleted;
}

sqlite3* EventStore::OpenReader(std::string* error) const {
  return OpenSqliteReader(path_, kBusyTimeoutMs, error);
}

bool EventStore::Counts(const CountsQuery& q, std::vector<CountBucket>* out,
                        std::string* error) const {
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(OpenReader(error),
                                                     sqlite3_close);
  if (!reader) return false;
  std::map<BucketKey, int64_t> buckets;
  // Whole hours come from the hourly table when the buckets are made of
  // whole hours; the partial hours at either end from the events.
  const bool hourly =
      q.bucket_seconds % kHour == 0 && q.utc_offset_seconds % kHour == 0;
  const int64_t first_hour = FloorDiv(q.from + kHour - 1, kHour);
  const int64_t end_hour = FloorDiv(q.to, kHour);
  bool ok = true;
  if (hourly && first_hour < end_hour) {
    ok = CountEvents(reader.get(), q, q.from, first_hour * kHour, &buckets) &&
         CountHours(reader.get(), q, first_hour, end_hour, &buckets) &&
         CountEvents(reader.get(), q, end_hour * kHour, q.to, &buckets);
  } else {
    ok = CountEvents(reader.get(), q, q.from, q.to, &buckets);
  }
  if (!ok) {
    *error =
        std::string("the counts query failed: ") + sqlite3_errmsg(reader.get());
    return false;
  }
  out->clear();
  for (const auto& [key, count] : buckets) {
    out->push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key),
                    std::get<3>(key), std::get<4>(key), std::get<5>(key),
                    count});
  }
  return true;
}

bool EventStore::SaveConfiguration(const std::string& process,
                                   const std::string& driver,
                                   const std::string& config,
                                   std::string* error) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  Statement s(
      db_,
      "INSERT OR REPLACE INTO configurations (process, driver, time, config)"
      " VALUES (?1, ?2, ?3, ?4)");
  if (s.get() != nullptr) {
    BindText(s.get(), 1, process);
    BindText(s.get(), 2, driver);
    sqlite3_bind_double(s.get(), 3, EpochSeconds());
    sqlite3_bind_blob(s.get(), 4, config.data(),
                      static_cast<int>(config.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.get()) == SQLITE_DONE) return true;
  }
  *error = sqlite3_errmsg(db_);
  return false;
}

bool EventStore::LoadConfiguration(const std::string& process,
                                   const std::string& driver,
                                   std::string* config) const {
  std::string error;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(OpenReader(&error),
                                                     sqlite3_close);
  if (!reader) return false;
  Statement s(
      reader.get(),
      "SELECT config FROM configurations WHERE process = ?1 AND driver = ?2");
  if (s.get() == nullptr) return false;
  BindText(s.get(), 1, process);
  BindText(s.get(), 2, driver);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return false;
  const void* blob = sqlite3_column_blob(s.get(), 0);
  config->assign(static_cast<const char*>(blob),
                 static_cast<size_t>(sqlite3_column_bytes(s.get(), 0)));
  return true;
}

bool EventStore::LoadPosition(const std::string& process,
                              const std::string& driver,
                              std::string* journal_id, uint64_t* sequence,
                              std::string* error) const {
  journal_id->clear();
  *sequence = 0;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(OpenReader(error),
                                                     sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              "SELECT journal_id, sequence FROM journal_positions"
              " WHERE process = ?1 AND driver = ?2");
  if (s.get() != nullptr) {
    BindText(s.get(), 1, process);
    BindText(s.get(), 2, driver);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
      *journal_id = Column(s.get(), 0);
      *sequence = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 1));
    }
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
  }
  *error = std::string("cannot read the journal position: ") +
           sqlite3_errmsg(reader.get());
  return false;
}

bool EventStore::ZoneExitTotals(const std::string& process,
                                std::vector<ZoneExitTotal>* totals,
                                std::string* error) const {
  totals->clear();
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(OpenReader(error),
                                                     sqlite3_close);
  if (!reader) return false;
  // The hourly table holds what the events hold, in far fewer rows.
  Statement s(reader.get(),
              "SELECT driver, zone, direction, sum(count) FROM hourly_counts"
              " WHERE process = ?1 AND tag = 'ZONE_EXIT' GROUP BY 1, 2, 3");
  int rc = SQLITE_ERROR;
  if (s.get() != nullptr) {
    BindText(s.get(), 1, process);
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      totals->push_back({Column(s.get(), 0), Column(s.get(), 1),
                         Column(s.get(), 2), sqlite3_column_int64(s.get(), 3)});
    }
  }
  if (rc == SQLITE_DONE) return true;
  *error = std::string("cannot read the zone totals: ") +
           sqlite3_errmsg(reader.get());
  return false;
}

}  // namespace kestu_tools
