// SnapshotFiles: the folder of kestu-web's crossing snapshots, one small
// JPEG per stored zone exit, named by the event's id in the history
// ("<id>.jpg").
//
// A file is written under a temporary name and renamed into place, so a
// reader never sees half of one; its modification time is set to when it
// was written (by the given clock). The folder is bounded by age (files
// written more than `days` days ago go) and by total size (the oldest go
// first until the rest fit in `max_bytes`); both hold after a restart, as
// Open reads the folder and applies them. A file whose event is newer than
// the file by more than a few minutes is not that event's (an id that the
// history gave again after pruning everything) and is not shown.
//
// Thread-safe.
#ifndef TOOLS_WEB_SNAPSHOT_FILES_H_
#define TOOLS_WEB_SNAPSHOT_FILES_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace kestu_tools {

class SnapshotFiles {
 public:
  // Seconds since the Unix epoch.
  using Clock = std::function<double()>;

  SnapshotFiles(std::string dir, int days, int64_t max_bytes,
                Clock now = nullptr);

  // Creates the folder when missing, reads what it holds (removing
  // temporary files left by a kill) and applies the bounds; false with the
  // reason.
  bool Open(std::string* error);
  const std::string& dir() const { return dir_; }
  int days() const { return days_; }
  int64_t max_bytes() const { return max_bytes_; }

  // Writes (or replaces) the snapshot of event `id`, then applies the size
  // bound; false with the reason.
  bool Write(int64_t id, const std::string& jpeg, std::string* error);
  // The snapshot of the event stored at `event_time` (seconds since the
  // epoch), when there is one.
  std::optional<std::string> Read(int64_t id, double event_time) const;
  bool Has(int64_t id, double event_time) const;
  // Removes what is older than the age bound and beyond the size bound.
  void Enforce();

  int64_t total_bytes() const;
  size_t count() const;
  std::string Path(int64_t id) const;

 private:
  struct Entry {
    double written = 0.0;
    int64_t bytes = 0;
  };
  // Requires: mutex_ held.
  void Remove(int64_t id);
  void EnforceLocked();

  const std::string dir_;
  const int days_;
  const int64_t max_bytes_;
  const Clock now_;
  mutable std::mutex mutex_;  // guards the members below
  std::map<int64_t, Entry> files_;
  std::set<std::pair<double, int64_t>> by_age_;  // (written, id)
  int64_t total_bytes_ = 0;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_FILES_H_
