// EventStore: kestu-web's history of published results and statuses, in an
// SQLite file opened in WAL mode (queries read their own snapshot and never
// block the writer).
//
// Schema, version 2 (the table schema_version holds the one version row; a
// version 1 file is brought to version 2 when opened):
//
//   events         one row per event of a published result (a result
//                  without events: one row with an empty tag)
//     id INTEGER PRIMARY KEY, process TEXT ("host:port"), driver TEXT
//     ("face", "vehicle", "crowd"), time REAL (seconds since the Unix
//     epoch: the event's timestamp, else when kestu-web received it),
//     tag TEXT (EventTag name), zone TEXT (zone name; "Area #n" for the
//     n-th area, from 1), direction TEXT (FORWARD or BACKWARD for zone
//     exits, else empty), speed REAL (m/s, NULL when not measured),
//     tracking_id INTEGER, type TEXT (the detection's type), result TEXT
//     (the result as JSON, without its image); since version 2 sequence
//     INTEGER (the result's number in its driver's event journal, 0:
//     none), journal TEXT (that journal's id, else empty), part INTEGER
//     (the event's index in its result)
//     index events_by_time (time, driver, zone)
//     unique index events_by_sequence (process, driver, journal, sequence,
//     part) where sequence > 0: a journalled result delivered twice (live
//     and caught up) is stored once; the journal's id is part of the key
//     because a new journal numbers from 1 again
//   journal_positions (version 2) process, driver, journal_id TEXT,
//                  sequence INTEGER (the last result held, or the end of a
//                  gap), time REAL; primary key (process, driver); written
//                  with the events in the same transaction
//   statuses       id, process, driver, time, type TEXT (Status type name),
//                  message TEXT, uuid TEXT, status TEXT (JSON)
//   hourly_counts  process, driver, tag, zone, direction, hour INTEGER
//                  (floor(time / 3600)), count INTEGER; primary key
//                  (process, driver, hour, zone, direction, tag); kept with
//                  the events in the same transaction, so an hourly query
//                  over 30 days reads hundreds of rows, not a million
//   configurations process, driver, time, config BLOB (the last DriverConfig
//                  that kestu-web sent the driver, binary); primary key
//                  (process, driver)
//
// Opening checks the file (PRAGMA quick_check, up to about a second per
// million events) and refuses, with the reason, a file that is not an SQLite
// database, is damaged, belongs to something else, comes from a newer
// kestu-web or cannot be written; such a file is never replaced.
//
// Thread-safe: writes share one connection under a mutex; every query opens
// a read connection of its own.
#ifndef TOOLS_WEB_EVENT_STORE_H_
#define TOOLS_WEB_EVENT_STORE_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kestu_tools {

struct StoredEvent {
  std::string process;
  std::string driver;
  double time = 0.0;
  std::string tag;
  std::string zone;
  std::string direction;
  bool has_speed = false;
  double speed = 0.0;
  int64_t tracking_id = 0;
  std::string type;
  std::string result_json;
  uint64_t sequence = 0;   // 0: a result without a journal number
  std::string journal_id;  // the journal that numbered it
  int part = 0;            // the event's index in its result
};

// Where the history stands in a driver's event journal.
struct StoredPosition {
  std::string process;
  std::string driver;
  std::string journal_id;
  uint64_t sequence = 0;
};

// Stored zone exits of one of a process's drivers, by zone and direction.
struct ZoneExitTotal {
  std::string driver;
  std::string zone;
  std::string direction;
  int64_t count = 0;
};

struct StoredStatus {
  std::string process;
  std::string driver;
  double time = 0.0;
  std::string type;
  std::string message;
  std::string uuid;
  std::string status_json;
};

// Events in [from, to) counted per bucket; empty filters match anything.
// Buckets start at multiples of bucket_seconds in the time zone that is
// utc_offset_seconds east of UTC.
struct CountsQuery {
  std::string process;
  std::string driver;
  std::string zone;
  std::string tag;
  int64_t from = 0;
  int64_t to = 0;
  int64_t bucket_seconds = 3600;
  int64_t utc_offset_seconds = 0;
};

struct CountBucket {
  int64_t start = 0;  // seconds since the Unix epoch
  std::string process;
  std::string driver;
  std::string tag;
  std::string zone;
  std::string direction;
  int64_t count = 0;
};

class EventStore {
 public:
  static constexpr int kSchemaVersion = 2;

  EventStore() = default;
  ~EventStore();
  EventStore(const EventStore&) = delete;
  EventStore& operator=(const EventStore&) = delete;

  // Opens (or creates) the database; false with the reason otherwise.
  bool Open(const std::string& path, std::string* error);
  const std::string& path() const { return path_; }

  // Stores the lists and sets the journal positions in one transaction;
  // false (nothing stored) with the reason. An event of a journalled result
  // already stored is left out, and a position never goes back within the
  // journal it holds.
  bool Append(const std::vector<StoredEvent>& events,
              const std::vector<StoredStatus>& statuses, std::string* error) {
    return Append(events, statuses, {}, error);
  }
  bool Append(const std::vector<StoredEvent>& events,
              const std::vector<StoredStatus>& statuses,
              const std::vector<StoredPosition>& positions, std::string* error);

  // The driver's kept journal position: false with the reason when the
  // database cannot be read; an empty id and 0 when none was kept.
  bool LoadPosition(const std::string& process, const std::string& driver,
                    std::string* journal_id, uint64_t* sequence,
                    std::string* error) const;
  // The zone exits stored for the process's drivers.
  bool ZoneExitTotals(const std::string& process,
                      std::vector<ZoneExitTotal>* totals,
                      std::string* error) const;

  // Deletes what is older than the start of the hour holding `before`
  // (seconds since the epoch), in short transactions; the rows deleted, or
  // -1 with the reason.
  int64_t Prune(double before, std::string* error);

  // Requires: query.from < query.to, bucket_seconds > 0.
  bool Counts(const CountsQuery& query, std::vector<CountBucket>* buckets,
              std::string* error) const;

  // The last configuration sent to a driver (a binary DriverConfig).
  bool SaveConfiguration(const std::string& process, const std::string& driver,
                         const std::string& config, std::string* error);
  bool LoadConfiguration(const std::string& process, const std::string& driver,
                         std::string* config) const;

 private:
  bool Check(std::string* error);
  // Creates the schema of a new file, or brings an older one up to date.
  bool CreateSchema(int from_version, std::string* error);
  bool Execute(const char* sql, std::string* error);
  sqlite3* OpenReader(std::string* error) const;
  sqlite3_stmt* Prepare(sqlite3_stmt** slot, const char* sql);

  std::string path_;
  mutable std::mutex write_mutex_;  // guards db_ and the statements below
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_event_ = nullptr;
  sqlite3_stmt* count_hour_ = nullptr;
  sqlite3_stmt* insert_status_ = nullptr;
  sqlite3_stmt* set_position_ = nullptr;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_EVENT_STORE_H_
