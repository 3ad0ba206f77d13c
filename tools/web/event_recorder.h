// EventRecorder: writes what kestu-web receives into its EventStore on a
// thread of its own, so that no frame or page waits for the disk.
//
// Results and statuses are queued as they arrive; the thread stores what
// has gathered in one transaction per batch. For a result numbered by its
// driver's event journal the batch also moves the driver's kept journal
// position to it, and the starts of journals and their gaps go through the
// same queue, so that the history and its position never disagree: what a
// kill of kestu-web loses is asked of the journal again, and what comes
// twice is stored once. A batch the database refuses
// (a full disk, a lock held too long by another program) stays queued and
// is tried again a second later; only when the queue holds kMaxQueued
// records are the oldest dropped, with an error line. Once at start and then
// every hour it deletes what is older than the retention (0 days: keep
// everything). Stop (and the destructor) store what is still queued.
//
//   EventRecorder recorder(&store, /*retention_days=*/90);
//   recorder.Start();
//   recorder.AddResult("127.0.0.1:60000", "crowd", result, received);
#ifndef TOOLS_WEB_EVENT_RECORDER_H_
#define TOOLS_WEB_EVENT_RECORDER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "tools/web/event_store.h"

namespace kestu_tools {

// The rows of one published result: one per event (a result without events
// gives one row with an empty tag). `received` is seconds since the epoch;
// a journalled result without event times has the time its frame was done
// (it may come long after, from the journal).
std::vector<StoredEvent> EventRows(
    const std::string& process, const std::string& driver,
    const ::talvenrook::vision::v1::VisionResult& result, double received);

class EventRecorder {
 public:
  static constexpr size_t kMaxQueued = 50000;  // of each kind

  // Requires: store is open and outlives the recorder.
  EventRecorder(EventStore* store, int retention_days,
                std::chrono::seconds prune_period = std::chrono::hours(1));
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  void Start();
  void Stop();
  EventStore* store() const { return store_; }

  // A result with a sequence number is of the journal `journal_id`.
  void AddResult(const std::string& process, const std::string& driver,
                 const ::talvenrook::vision::v1::VisionResult& result,
                 double received, const std::string& journal_id = "");
  // What follows is of the journal `journal_id`, after `sequence`: the
  // driver's position is replaced.
  void AddJournalStart(const std::string& process, const std::string& driver,
                       const std::string& journal_id, uint64_t sequence);
  // The journal no longer held the results from..to: a status row of type
  // JOURNAL_GAP says so, and the position moves past them.
  void AddJournalGap(const std::string& process, const std::string& driver,
                     const std::string& journal_id, uint64_t from, uint64_t to,
                     double received);
  void AddStatus(const std::string& process, const std::string& driver,
                 const ::talvenrook::kestu::v1::driver::Status& status,
                 double received);

 private:
  struct Pending {
    std::vector<StoredEvent> events;
    std::vector<StoredStatus> statuses;
    // The latest position queued for each (process, driver).
    std::map<std::pair<std::string, std::string>, StoredPosition> positions;
    bool empty() const {
      return events.empty() && statuses.empty() && positions.empty();
    }
  };
  void SetPosition(const std::string& process, const std::string& driver,
                   const std::string& journal_id, uint64_t sequence);
  void Run();
  void Write(Pending* batch);
  void Prune();

  EventStore* store_;
  const int retention_days_;
  const std::chrono::seconds prune_period_;
  std::thread thread_;
  std::mutex mutex_;  // guards the members below
  std::condition_variable wake_;
  bool stopping_ = false;
  Pending queued_;
  int64_t dropped_ = 0;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_EVENT_RECORDER_H_
