// AuditStore: the operator's audit of the counts, kept in the history's
// SQLite file beside the events (EventStore), in tables of its own:
//
//   audit_schema   version INTEGER (one row; 1)
//   audit_marks    event_id INTEGER PRIMARY KEY (events.id of a zone exit),
//                  event_time REAL (that event's time: a mark holds only for
//                  the event it was made on, should the id be given again),
//                  verdict TEXT ("right" or "wrong"), marked REAL (when)
//   audit_missed   id INTEGER PRIMARY KEY, process, driver, zone, direction
//                  (FORWARD or BACKWARD), time REAL (seconds since the
//                  epoch), note TEXT, marked REAL: passes the line did not
//                  count
//
// Open creates what is missing (an existing history is upgraded in place,
// as often as it is opened) and leaves the history's own tables and
// schema_version alone; it refuses a file whose audit tables come from a
// newer kestu-web. Requires: the EventStore opened the file first.
//
// Thread-safe: writes share one connection under a mutex; every query opens
// a read connection of its own.
#ifndef TOOLS_WEB_AUDIT_STORE_H_
#define TOOLS_WEB_AUDIT_STORE_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/web/audit_figures.h"

struct sqlite3;

namespace kestu_tools {

// The zone exits of [from, to) of a driver; an empty zone: every line.
struct AuditWindow {
  std::string process;
  std::string driver;
  std::string zone;
  double from = 0.0;
  double to = 0.0;
};

struct AuditCrossing {
  int64_t id = 0;  // events.id
  double time = 0.0;
  std::string zone;
  std::string direction;
  std::string direction_name;  // the zone's name of it, else empty
  int64_t tracking_id = 0;
  std::string type;
  std::string verdict;  // "right", "wrong" or empty: not audited
};

struct MissedPass {
  int64_t id = 0;
  std::string process;
  std::string driver;
  std::string zone;
  std::string direction;
  double time = 0.0;
  std::string note;
};

// What identifies a stored zone exit: the snapshot of a crossing is filed
// under its id.
struct ExitKey {
  std::string process;
  std::string driver;
  std::string zone;
  std::string direction;
  double time = 0.0;   // the event's time, or when it came (see `exact`)
  bool exact = false;  // time is the event's own timestamp
  int64_t tracking_id = 0;
  int part = 0;
  std::string uuid;  // the published result's, may be empty
};

// The tallies of a window by (zone, direction), and the zone's names of
// the directions.
struct LineDirection {
  AuditTally tally;
  std::string direction_name;
};
using AuditTallies =
    std::map<std::pair<std::string, std::string>, LineDirection>;

class AuditStore {
 public:
  static constexpr int kVersion = 1;
  static constexpr int kMaxCrossings = 5000;  // listed per query

  AuditStore() = default;
  ~AuditStore();
  AuditStore(const AuditStore&) = delete;
  AuditStore& operator=(const AuditStore&) = delete;

  bool Open(const std::string& path, std::string* error);

  // The window's zone exits, oldest first (at most kMaxCrossings; *more
  // says whether there were more).
  bool Crossings(const AuditWindow& window, std::vector<AuditCrossing>* out,
                 bool* more, std::string* error) const;
  bool Missed(const AuditWindow& window, std::vector<MissedPass>* out,
              std::string* error) const;
  // Counted, right and wrong of every line and direction of the window,
  // and the missed passes added in it.
  bool Tallies(const AuditWindow& window, AuditTallies* out,
               std::string* error) const;
  // The lines that counted for the driver, and those with missed passes.
  bool Lines(const std::string& process, const std::string& driver,
             std::vector<std::string>* out, std::string* error) const;

  // Marks the zone exit `event_id` "right" or "wrong", or clears its mark
  // (empty verdict). False with the reason; *unknown when no zone exit has
  // that id.
  bool Mark(int64_t event_id, const std::string& verdict, bool* unknown,
            std::string* error);
  // Adds a missed pass; its id.
  bool AddMissed(const MissedPass& pass, int64_t* id, std::string* error);
  // False (*unknown) when there is no such pass.
  bool RemoveMissed(int64_t id, bool* unknown, std::string* error);

  // The time of the zone exit `id`; false when there is none.
  bool ExitTime(int64_t id, double* time) const;
  // The id of the stored zone exit, or 0 while it is not stored (yet).
  int64_t FindExit(const ExitKey& key, std::string* error) const;

 private:
  bool Execute(const char* sql, std::string* error);
  sqlite3* OpenReader(std::string* error) const;

  std::string path_;
  mutable std::mutex write_mutex_;  // guards db_
  sqlite3* db_ = nullptr;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_AUDIT_STORE_H_
