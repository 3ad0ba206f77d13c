// ZoneFirstSeen: when kestu-web first saw each counting line, kept in a
// table of its own in the history's SQLite file:
//
//   zone_first_seen  process TEXT, driver TEXT, zone TEXT, first_seen REAL
//                    (seconds since the Unix epoch), from_history INTEGER
//                    (1: not a sighting but the first hour of the line's
//                    exits that the history held when the row was made);
//                    primary key (process, driver, zone)
//
// A line is seen when its driver's description lists it or an event names
// it (at the event's time: a journal caught up on may bring older ones);
// the earliest sighting is kept. Opening creates the table when it is
// missing and adds a row for every line the history holds zone events of
// and the table does not (an older kestu-web's history). Other versions of
// kestu-web leave the table alone.
//
// Thread-safe. The rows are held in memory too: a line already seen no
// earlier costs no database write.
#ifndef TOOLS_WEB_ZONE_FIRST_SEEN_H_
#define TOOLS_WEB_ZONE_FIRST_SEEN_H_

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

struct sqlite3;

namespace kestu_tools {

class ZoneFirstSeen {
 public:
  struct Entry {
    std::string process;
    std::string driver;
    std::string zone;
    double first_seen = 0.0;
    bool from_history = false;
  };

  ZoneFirstSeen() = default;
  ~ZoneFirstSeen();
  ZoneFirstSeen(const ZoneFirstSeen&) = delete;
  ZoneFirstSeen& operator=(const ZoneFirstSeen&) = delete;

  // Opens the table in the database file (an open EventStore's); false
  // with the reason.
  bool Open(const std::string& path, std::string* error);

  // The line was seen at `time`. A database that refuses the row gets an
  // error line on standard error; the sighting is kept in memory.
  void Saw(const std::string& process, const std::string& driver,
           const std::string& zone, double time);

  // The lines of a process's driver (empty: of every driver).
  std::vector<Entry> Lines(const std::string& process,
                           const std::string& driver) const;

 private:
  using Key = std::tuple<std::string, std::string, std::string>;

  mutable std::mutex mutex_;  // guards db_ and seen_
  sqlite3* db_ = nullptr;
  std::map<Key, Entry> seen_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_ZONE_FIRST_SEEN_H_
