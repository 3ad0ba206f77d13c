// EventJournal: one driver's published results, numbered and kept on disk
// so that a consumer that was away (kestu-web, kestu-mqtt) fetches what it
// missed, and the driver's zone totals go on across restarts.
//
// Each result gets the next number (1, 2, ... going on across restarts) and
// is appended to the current segment file (JournalSegment) before it is
// sent: the write reaches the operating system at once, so a killed process
// loses nothing it sent. The files are synced to the disk at most once a
// second (Sync), so that a flash card is not written once per result; a
// power cut can lose the last second, and numbers given in it are given
// again.
//
// The folder also holds:
//   journal_id   a random id made with the journal: consumers tell a new
//                journal (the folder removed) from the one they followed
//   totals.pb    the zone totals (every ZONE_EXIT by zone and direction) as
//                of a number, written with Sync; at open the records after
//                it are added, so the totals are those of every result
//                written.
// Segments roll over at `segment_bytes`; whole segments older than
// `retention_days` (by their last write) and the oldest beyond `max_bytes`
// are deleted, never the current one. A read from before the oldest held
// reports the stretch as a gap.
//
// Thread-safe: the frame step appends, the journal service reads and the
// sync thread syncs.
#ifndef SRC_JOURNAL_EVENT_JOURNAL_H_
#define SRC_JOURNAL_EVENT_JOURNAL_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "src/journal/journal_segment.h"
#include "talvenrook/kestu/v1/journal.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;
using ZoneTotal = ::talvenrook::kestu::v1::journal::ZoneTotal;

struct JournalOptions {
  std::string folder;
  int retention_days = 30;
  int64_t max_bytes = int64_t{1} << 30;
  int64_t segment_bytes = int64_t{16} << 20;
  // Bounds a read's reply.
  uint32_t max_read = 500;
  int64_t max_read_bytes = int64_t{32} << 20;
};

class EventJournal {
 public:
  using VisionResult = ::talvenrook::vision::v1::VisionResult;
  using Clock = std::chrono::system_clock;

  // Opens (or creates) the journal in options.folder. A torn last record
  // (the process killed while writing) is cut off. nullptr with a reason
  // when the folder cannot be used.
  static std::unique_ptr<EventJournal> Open(const JournalOptions& options,
                                            std::string* error);
  ~EventJournal();

  EventJournal(const EventJournal&) = delete;
  EventJournal& operator=(const EventJournal&) = delete;

  // Gives the result the next number and writes it. False, with a reason,
  // when it could not be written; the number is spent all the same (a
  // reader sees a gap rather than two results with one number).
  bool Append(VisionResult* result, std::string* error);

  // The results after `after`, in order and without holes, at most
  // options.max_read (`max` when smaller and not 0); a stretch not held
  // comes first as gap_from..gap_to. With `position_only`, no results.
  JournalReply Read(uint64_t after, uint32_t max, bool position_only) const;

  // Syncs the files, writes the totals when they changed and deletes what
  // is past retention. False, with a reason, when a write failed.
  bool Sync(std::string* error);

  uint64_t last_sequence() const;
  uint64_t first_sequence() const;
  const std::string& id() const { return id_; }
  std::vector<ZoneTotal> Totals() const;
  // Bytes in the segment files.
  int64_t size_bytes() const;

  // For tests: the clock that dates records and judges retention.
  void set_clock_for_testing(Clock::time_point (*now)()) { now_ = now; }

 private:
  struct Segment {
    uint64_t first = 0;
    std::string path;
    int64_t bytes = 0;
  };
  explicit EventJournal(JournalOptions options);
  bool Load(std::string* error);
  bool OpenCurrent(std::string* error);
  bool RollOver(std::string* error);
  void AddToTotals(const VisionResult& result);
  void Prune();
  JournalReply Position() const;  // requires mutex_

  // Where a read ended, so that the next page starts there rather than at
  // the start of its segment.
  struct ReadMark {
    uint64_t sequence = 0;  // the last result of the read
    uint64_t segment_first = 0;
    int64_t offset = 0;  // after that result
  };
  static constexpr size_t kReadMarks = 8;

  const JournalOptions options_;
  mutable std::mutex marks_mutex_;  // guards read_marks_
  mutable std::vector<ReadMark> read_marks_;
  std::string id_;
  Clock::time_point (*now_)() = &Clock::now;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<Segment> segments_;
  int fd_ = -1;  // the current (last) segment, open for appending
  uint64_t last_ = 0;
  bool unsynced_ = false;
  // (zone name, direction) -> total.
  std::map<std::pair<std::string, int>, ZoneTotal> totals_;
  bool totals_changed_ = false;
  Clock::time_point next_prune_;
};

}  // namespace vostek_kestu

#endif  // SRC_JOURNAL_EVENT_JOURNAL_H_
