// EventRecorder: writes what kestu-web receives into its EventStore on a
// thread of its own, so that no frame or page waits for the disk.
//
// Results and statuses are queued as they arrive; the thread stores what
// has gathered in one transaction per batch. A batch the database refuses
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "tools/web/event_store.h"

namespace kestu_tools {

// The rows of one published result: one per event (a result without events
// gives one row with an empty tag). `received` is seconds since the epoch.
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

  void AddResult(const std::string& process, const std::string& driver,
                 const ::talvenrook::vision::v1::VisionResult& result,
                 double received);
  void AddStatus(const std::string& process, const std::string& driver,
                 const ::talvenrook::kestu::v1::driver::Status& status,
                 double received);

 private:
  struct Pending {
    std::vector<StoredEvent> events;
    std::vector<StoredStatus> statuses;
  };
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
