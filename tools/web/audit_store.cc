#include "tools/web/audit_store.h"

#include <sqlite3.h>

#include <memory>

#include "tools/web/sqlite_exec.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

constexpr int kBusyTimeoutMs = 5000;
// How far from the time it came a stored exit without a timestamp of its
// own may be.
constexpr double kReceivedSlack = 60.0;

constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS audit_schema (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS audit_marks ("
    " event_id INTEGER PRIMARY KEY, event_time REAL NOT NULL,"
    " verdict TEXT NOT NULL CHECK (verdict IN ('right', 'wrong')),"
    " marked REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS audit_missed ("
    " id INTEGER PRIMARY KEY, process TEXT NOT NULL, driver TEXT NOT NULL,"
    " zone TEXT NOT NULL, direction TEXT NOT NULL, time REAL NOT NULL,"
    " note TEXT NOT NULL, marked REAL NOT NULL)",
    "CREATE INDEX IF NOT EXISTS audit_missed_by_time ON audit_missed"
    " (process, driver, time)",
};

// The zone's name of an exit's direction, from the stored result.
constexpr char kDirectionName[] =
    "CASE WHEN json_valid(e.result) THEN json_extract(e.result,"
    " '$.visionEvent[' || e.part || '].zoneDirectionName') END";

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
  void Text(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(),
                      static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  std::string Column(int index) const {
    const auto* text = sqlite3_column_text(statement_, index);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<size_t>(
                                 sqlite3_column_bytes(statement_, index)));
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

using Reader = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

// The conditions of a window on the table aliased `e` (events) with their
// values bound from ?1: from, to, process, driver[, zone].
std::string WindowSql(const AuditWindow& w, const char* alias) {
  const std::string a = alias;
  return a + ".time >= ?1 AND " + a + ".time < ?2 AND " + a +
         ".process = ?3 AND " + a + ".driver = ?4" +
         (w.zone.empty() ? "" : " AND " + a + ".zone = ?5");
}

void BindWindow(Statement* s, const AuditWindow& w) {
  sqlite3_bind_double(s->get(), 1, w.from);
  sqlite3_bind_double(s->get(), 2, w.to);
  s->Text(3, w.process);
  s->Text(4, w.driver);
  if (!w.zone.empty()) s->Text(5, w.zone);
}

bool Failed(sqlite3* db, const std::string& what, std::string* error) {
  *error = what + ": " + sqlite3_errmsg(db);
  return false;
}

}  // namespace

AuditStore::~AuditStore() {
  if (db_ != nullptr) sqlite3_close(db_);
}

bool AuditStore::Execute(const char* sql, std::string* error) {
  return ExecuteSql(db_, sql, error);
}

bool AuditStore::Open(const std::string& path, std::string* error) {
  path_ = path;
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
      SQLITE_OK) {
    *error = "cannot open the database " + path +
             " for the audit: " + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  std::string reason;
  if (!Execute("BEGIN IMMEDIATE", &reason)) {
    *error = "cannot write the audit tables of " + path + " (" + reason + ")";
    return false;
  }
  bool ok = true;
  for (const char* sql : kSchema) ok = ok && Execute(sql, &reason);
  int version = 0;
  if (ok) {
    Statement s(db_, "SELECT max(version) FROM audit_schema");
    ok = s.get() != nullptr && sqlite3_step(s.get()) == SQLITE_ROW;
    if (ok) version = sqlite3_column_int(s.get(), 0);
    if (!ok) reason = sqlite3_errmsg(db_);
  }
  if (ok && version > kVersion) {
    std::string ignored;
    Execute("ROLLBACK", &ignored);
    *error = "the audit tables of " + path + " have version " +
             std::to_string(version) + "; this kestu-web reads version " +
             std::to_string(kVersion) + "; the file was left as it is";
    return false;
  }
  if (ok && version == 0) {
    ok = Execute("INSERT INTO audit_schema VALUES (1)", &reason);
  }
  if (ok && Execute("COMMIT", &reason)) return true;
  std::string ignored;
  Execute("ROLLBACK", &ignored);
  *error = "cannot write the audit tables of " + path + " (" + reason + ")";
  return false;
}

sqlite3* AuditStore::OpenReader(std::string* error) const {
  return OpenSqliteReader(path_, kBusyTimeoutMs, error);
}

bool AuditStore::Crossings(const AuditWindow& w,
                           std::vector<AuditCrossing>* out, bool* more,
                           std::string* error) const {
  out->clear();
  *more = false;
  Reader reader(OpenReader(error), sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              std::string("SELECT e.id, e.time, e.zone, e.direction, ") +
                  kDirectionName +
                  ", e.tracking_id, e.type, coalesce(m.verdict, '')"
                  " FROM events e LEFT JOIN audit_marks m ON m.event_id ="
                  " e.id AND m.event_time = e.time WHERE e.tag = 'ZONE_EXIT'"
                  " AND " +
                  WindowSql(w, "e") + " ORDER BY e.time, e.id LIMIT " +
                  std::to_string(kMaxCrossings + 1));
  if (s.get() == nullptr) {
    return Failed(reader.get(), "the crossings query failed", error);
  }
  BindWindow(&s, w);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    if (out->size() == static_cast<size_t>(kMaxCrossings)) {
      *more = true;
      break;
    }
    AuditCrossing c;
    c.id = sqlite3_column_int64(s.get(), 0);
    c.time = sqlite3_column_double(s.get(), 1);
    c.zone = s.Column(2);
    c.direction = s.Column(3);
    c.direction_name = s.Column(4);
    c.tracking_id = sqlite3_column_int64(s.get(), 5);
    c.type = s.Column(6);
    c.verdict = s.Column(7);
    out->push_back(std::move(c));
  }
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
  return Failed(reader.get(), "the crossings query failed", error);
}

bool AuditStore::Missed(const AuditWindow& w, std::vector<MissedPass>* out,
                        std::string* error) const {
  out->clear();
  Reader reader(OpenReader(error), sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              "SELECT e.id, e.zone, e.direction, e.time, e.note FROM"
              " audit_missed e WHERE " +
                  WindowSql(w, "e") + " ORDER BY e.time, e.id");
  if (s.get() == nullptr) {
    return Failed(reader.get(), "the missed passes query failed", error);
  }
  BindWindow(&s, w);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    MissedPass p;
    p.id = sqlite3_column_int64(s.get(), 0);
    p.process = w.process;
    p.driver = w.driver;
    p.zone = s.Column(1);
    p.direction = s.Column(2);
    p.time = sqlite3_column_double(s.get(), 3);
    p.note = s.Column(4);
    out->push_back(std::move(p));
  }
  if (rc == SQLITE_DONE) return true;
  return Failed(reader.get(), "the missed passes query failed", error);
}

bool AuditStore::Tallies(const AuditWindow& w, AuditTallies* out,
                         std::string* error) const {
  out->clear();
  Reader reader(OpenReader(error), sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              std::string("SELECT e.zone, e.direction, count(*),"
                          " coalesce(sum(m.verdict = 'right'), 0),"
                          " coalesce(sum(m.verdict = 'wrong'), 0), max(") +
                  kDirectionName +
                  ") FROM events e LEFT JOIN audit_marks m ON m.event_id ="
                  " e.id AND m.event_time = e.time WHERE e.tag = 'ZONE_EXIT'"
                  " AND " +
                  WindowSql(w, "e") + " GROUP BY 1, 2");
  if (s.get() == nullptr) {
    return Failed(reader.get(), "the audit query failed", error);
  }
  BindWindow(&s, w);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    LineDirection& line = (*out)[{s.Column(0), s.Column(1)}];
    line.tally.counted = sqlite3_column_int64(s.get(), 2);
    line.tally.right = sqlite3_column_int64(s.get(), 3);
    line.tally.wrong = sqlite3_column_int64(s.get(), 4);
    line.direction_name = s.Column(5);
  }
  if (rc != SQLITE_DONE) {
    return Failed(reader.get(), "the audit query failed", error);
  }
  std::vector<MissedPass> missed;
  if (!Missed(w, &missed, error)) return false;
  for (const MissedPass& p : missed)
    ++(*out)[{p.zone, p.direction}].tally.missed;
  return true;
}

bool AuditStore::Lines(const std::string& process, const std::string& driver,
                       std::vector<std::string>* out,
                       std::string* error) const {
  out->clear();
  Reader reader(OpenReader(error), sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              "SELECT zone FROM hourly_counts WHERE process = ?1 AND driver ="
              " ?2 AND tag = 'ZONE_EXIT' UNION SELECT zone FROM audit_missed"
              " WHERE process = ?1 AND driver = ?2 ORDER BY 1");
  if (s.get() == nullptr) {
    return Failed(reader.get(), "the lines query failed", error);
  }
  s.Text(1, process);
  s.Text(2, driver);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    out->push_back(s.Column(0));
  }
  if (rc == SQLITE_DONE) return true;
  return Failed(reader.get(), "the lines query failed", error);
}

bool AuditStore::Mark(int64_t event_id, const std::string& verdict,
                      bool* unknown, std::string* error) {
  *unknown = false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  Statement find(db_,
                 "SELECT time FROM events WHERE id = ?1 AND tag = 'ZONE_EXIT'");
  if (find.get() == nullptr) return Failed(db_, "cannot mark", error);
  sqlite3_bind_int64(find.get(), 1, event_id);
  const int found = sqlite3_step(find.get());
  if (found == SQLITE_DONE) {
    *unknown = true;
    *error = "no zone exit has the id " + std::to_string(event_id);
    return false;
  }
  if (found != SQLITE_ROW) return Failed(db_, "cannot mark", error);
  const double event_time = sqlite3_column_double(find.get(), 0);
  Statement s(db_, verdict.empty()
                       ? "DELETE FROM audit_marks WHERE event_id = ?1"
                       : "INSERT OR REPLACE INTO audit_marks (event_id,"
                         " event_time, verdict, marked) VALUES (?1, ?2, ?3,"
                         " ?4)");
  if (s.get() == nullptr) return Failed(db_, "cannot mark", error);
  sqlite3_bind_int64(s.get(), 1, event_id);
  if (!verdict.empty()) {
    sqlite3_bind_double(s.get(), 2, event_time);
    s.Text(3, verdict);
    sqlite3_bind_double(s.get(), 4, EpochSeconds());
  }
  if (sqlite3_step(s.get()) == SQLITE_DONE) return true;
  return Failed(db_, "cannot mark", error);
}

bool AuditStore::AddMissed(const MissedPass& p, int64_t* id,
                           std::string* error) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  Statement s(db_,
              "INSERT INTO audit_missed (process, driver, zone, direction,"
              " time, note, marked) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  if (s.get() == nullptr) return Failed(db_, "cannot add the pass", error);
  s.Text(1, p.process);
  s.Text(2, p.driver);
  s.Text(3, p.zone);
  s.Text(4, p.direction);
  sqlite3_bind_double(s.get(), 5, p.time);
  s.Text(6, p.note);
  sqlite3_bind_double(s.get(), 7, EpochSeconds());
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    return Failed(db_, "cannot add the pass", error);
  }
  *id = sqlite3_last_insert_rowid(db_);
  return true;
}

bool AuditStore::RemoveMissed(int64_t id, bool* unknown, std::string* error) {
  *unknown = false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  Statement s(db_, "DELETE FROM audit_missed WHERE id = ?1");
  if (s.get() == nullptr) return Failed(db_, "cannot remove the pass", error);
  sqlite3_bind_int64(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    return Failed(db_, "cannot remove the pass", error);
  }
  if (sqlite3_changes(db_) == 0) {
    *unknown = true;
    *error = "no missed pass has the id " + std::to_string(id);
    return false;
  }
  return true;
}

bool AuditStore::ExitTime(int64_t id, double* time) const {
  std::string error;
  Reader reader(OpenReader(&error), sqlite3_close);
  if (!reader) return false;
  Statement s(reader.get(),
              "SELECT time FROM events WHERE id = ?1 AND tag = 'ZONE_EXIT'");
  if (s.get() == nullptr) return false;
  sqlite3_bind_int64(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return false;
  *time = sqlite3_column_double(s.get(), 0);
  return true;
}

int64_t AuditStore::FindExit(const ExitKey& key, std::string* error) const {
  Reader reader(OpenReader(error), sqlite3_close);
  if (!reader) return 0;
  // The time index narrows it down; the result's uuid settles it.
  Statement s(reader.get(),
              std::string("SELECT id FROM events WHERE time >= ?1 AND time <="
                          " ?2 AND driver = ?3 AND zone = ?4 AND process = ?5"
                          " AND tag = 'ZONE_EXIT' AND direction = ?6 AND"
                          " tracking_id = ?7 AND part = ?8") +
                  (key.uuid.empty() ? "" : " AND instr(result, ?9) > 0") +
                  " ORDER BY id DESC LIMIT 1");
  if (s.get() == nullptr) {
    Failed(reader.get(), "the zone exit query failed", error);
    return 0;
  }
  const double slack = key.exact ? 1e-3 : kReceivedSlack;
  sqlite3_bind_double(s.get(), 1, key.time - slack);
  sqlite3_bind_double(s.get(), 2, key.time + slack);
  s.Text(3, key.driver);
  s.Text(4, key.zone);
  s.Text(5, key.process);
  s.Text(6, key.direction);
  sqlite3_bind_int64(s.get(), 7, key.tracking_id);
  sqlite3_bind_int(s.get(), 8, key.part);
  if (!key.uuid.empty()) s.Text(9, "\"" + key.uuid + "\"");
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
  if (rc != SQLITE_DONE)
    Failed(reader.get(), "the zone exit query failed", error);
  return 0;
}

}  // namespace kestu_tools
