// SnapshotTaker: a small JPEG of every counted crossing, filed under the
// stored zone exit's id (SnapshotFiles).
//
// For each zone exit a driver publishes, it finds the streamed frame of
// the crossing among the process's last frames (SnapshotRing), waiting up
// to `frame_wait` for it when the event comes first, draws the person's box
// on it (DrawCrossing, at the scale the driver streams at), waits for the
// history to store the event (up to `id_wait`) and writes the file under
// the event's id. An exit without a usable frame (none came, or the box
// does not fit the picture) gets no snapshot. An exit whose own time is
// long past (taken in from the process's journal after an absence) has no
// frame left to show and is not waited for.
//
// The work is done on a thread of its own; the tap's calls only queue.
// With a StreamKeeper, it tells it of frames and zone exits.
#ifndef TOOLS_WEB_SNAPSHOT_TAKER_H_
#define TOOLS_WEB_SNAPSHOT_TAKER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/web/audit_store.h"
#include "tools/web/snapshot_files.h"
#include "tools/web/snapshot_ring.h"
#include "tools/web/snapshot_streaming.h"
#include "tools/web/snapshot_tap.h"

namespace kestu_tools {

class SnapshotTaker : public SnapshotTap {
 public:
  using Clock = std::chrono::steady_clock;
  // The factor the driver scales its streamed frames by (1: none).
  using ScaleOf =
      std::function<double(const std::string& process, const std::string&)>;

  struct Options {
    std::chrono::milliseconds frame_wait{2000};
    std::chrono::milliseconds id_wait{60000};
    int max_width = 320;
  };
  struct Counts {
    int64_t written = 0;
    int64_t without_frame = 0;  // no usable frame came
    int64_t failed = 0;         // not drawn, not stored or not written
  };

  // Requires: files and store are open and outlive the taker; keeper may
  // be null.
  SnapshotTaker(SnapshotFiles* files, const AuditStore* store, ScaleOf scale,
                StreamKeeper* keeper, Options options);
  SnapshotTaker(SnapshotFiles* files, const AuditStore* store, ScaleOf scale,
                StreamKeeper* keeper)
      : SnapshotTaker(files, store, std::move(scale), keeper, Options()) {}
  ~SnapshotTaker() override;
  SnapshotTaker(const SnapshotTaker&) = delete;
  SnapshotTaker& operator=(const SnapshotTaker&) = delete;

  void Start();
  // Finishes what it can without waiting (call it once the history stored
  // what was queued) and ends the thread.
  void Stop();

  void OnPublished(const std::string& process, const std::string& driver,
                   const VisionResult& result) override;
  void OnStreamed(const std::string& process, const VisionResult& result,
                  std::shared_ptr<const std::string> jpeg) override;
  void OnDescribed(const std::string& process, const std::string& driver,
                   const DriverInfo& info) override;

  // The id a published result's exit (its uuid and the event's index) was
  // stored under, once its snapshot is written; 0 otherwise. Recent ones
  // only.
  int64_t SnapshotId(const std::string& uuid, int part) const;
  Counts counts() const;
  const SnapshotFiles& files() const { return *files_; }

 private:
  struct Pending {
    std::string process;
    std::string driver;
    SnapshotRing::VisionEvent exit;
    ExitKey key;
    Clock::time_point received;
    std::optional<SnapshotRing::Crossing> crossing;
    std::string jpeg;  // drawn
    Clock::time_point next_lookup;
  };
  void Run();
  // Frames for the waiting exits: those ready leave `waiting_`. Requires:
  // mutex_ held.
  std::vector<Pending> TakeReady(Clock::time_point now, bool final);
  void Draw(Pending* pending);
  // Writes the drawn ones whose events are stored; drops those waited for
  // too long.
  void File(Clock::time_point now, bool final);
  void Remember(const std::string& uuid, int part, int64_t id);
  // Counts a snapshot not kept and says why (the first, then few).
  void Fail(const std::string& why);

  SnapshotFiles* const files_;
  const AuditStore* const store_;
  const ScaleOf scale_;
  StreamKeeper* const keeper_;
  const Options options_;
  std::vector<Pending> drawn_;  // the thread's own
  Clock::time_point next_enforce_{};
  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable wake_;
  bool stopping_ = false;
  SnapshotRing ring_;
  std::deque<Pending> waiting_;
  std::map<std::pair<std::string, int>, int64_t> ids_;
  std::deque<std::pair<std::string, int>> id_order_;
  Counts counts_;
  std::thread thread_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_TAKER_H_
