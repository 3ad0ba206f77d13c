// EventStore: kestu-web's history of published results and statuses, in an
// SQLite file opened in WAL mode (queries read their own snapshot and never
// block the writer).
//
// Schema, version 1 (the table schema_version holds the one version row):
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
//     (the result as JSON, without its image)
//     index events_by_time (time, driver, zone)
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
  static constexpr int kSchemaVersion = 1;

  EventStore() = default;
  ~EventStore();
  EventStore(const EventStore&) = delete;
  EventStore& operator=(const EventStore&) = delete;

  // Opens (or creates) the database; false with the reason otherwise.
  bool Open(const std::string& path, std::string* error);
  const std::string& path() const { return path_; }

  // Stores both lists in one transaction; false (nothing stored) with the
  // reason.
  bool Append(const std::vector<StoredEvent>& events,
              const std::vector<StoredStatus>& statuses, std::string* error);

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
  bool CreateSchema(std::string* error);
  bool Execute(const char* sql, std::string* error);
  sqlite3* OpenReader(std::string* error) const;
  sqlite3_stmt* Prepare(sqlite3_stmt** slot, const char* sql);

  std::string path_;
  mutable std::mutex write_mutex_;  // guards db_ and the statements below
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_event_ = nullptr;
  sqlite3_stmt* count_hour_ = nullptr;
  sqlite3_stmt* insert_status_ = nullptr;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_EVENT_STORE_H_
