// WebHub: what kestu-web knows of the processes it watches, fed by their
// links and read by the HTTP handlers.
//
// For every process: whether it answers driver-information queries, and
// for each of its three drivers the latest status, whether it is alive
// and configured, its camera's health (CameraHealth: its statuses and its
// polled driver information), the published results and events with their
// counts, the statuses by kind, the latest streamed JPEG, and the frame
// processing times. It also keeps the latest results and a numbered log of
// every result and status as JSON for the /events stream, and the answers
// to the commands the page sent (by uuid).
//
// The streaming channel is shared by a process's three drivers and its
// messages do not name a driver: a streamed frame is put under the driver
// that the page last asked to stream, else under the process's most
// recently active driver.
//
// With a recorder attached, every published result and status is also
// stored in the history, the hub keeps a position in each driver's event
// journal (in the history, with the events: a journalled result is stored
// once, whatever kestu-web or the process missed), and the counts by zone
// start from the zone exits the history holds; with a track history, the
// tracked boxes of every streamed frame are kept for recounting.
//
// Thread-safe; waits end early when Stop is called.
#ifndef TOOLS_WEB_WEB_HUB_H_
#define TOOLS_WEB_WEB_HUB_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kestu_tools.pb.h"
#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "tools/web/camera_health.h"
#include "tools/web/event_recorder.h"
#include "tools/web/process_listener.h"
#include "tools/web/snapshot_tap.h"
#include "tools/web/track_history.h"
#include "tools/web/zone_first_seen.h"

namespace kestu_tools {

using Status = ::talvenrook::kestu::v1::driver::Status;
using VisionResult = ::talvenrook::vision::v1::VisionResult;

class WebHub : public ProcessListener {
 public:
  using Clock = std::chrono::steady_clock;

  // Upper bounds (seconds) of the frame processing time histogram.
  static const std::vector<double>& HistogramBounds();
  // Upper bounds (seconds) of the stream forwarding histogram.
  static const std::vector<double>& ForwardingBounds();

  // A process and its three drivers; `name` is how paths and labels call
  // it.
  void AddProcess(const std::string& name, const std::string& host,
                  int bind_port, int streaming_port);
  // Either may be null. Requires: called before the links start; both
  // outlive the hub's use.
  void Attach(EventRecorder* recorder, TrackHistory* history);
  // Hands every published result, streamed frame and driver description to
  // the tap too (the snapshots of crossings); null: none. Requires: called
  // before the links start; the tap outlives the hub's use.
  void AttachSnapshots(SnapshotTap* tap);
  // Tells `first_seen` of every counting line that a driver's description
  // lists or a zone event names; null: none. Requires: called before the
  // links start; it outlives the hub's use.
  void AttachFirstSeen(ZoneFirstSeen* first_seen) { first_seen_ = first_seen; }
  void SetReachable(const std::string& process, bool reachable);
  void SetDriverName(const std::string& process, const std::string& driver,
                     const std::string& name);
  void OnDriverInfo(const std::string& process, const std::string& driver,
                    const DriverInfo& info);

  void OnStatus(const std::string& process, const std::string& driver,
                const Status& status);
  void OnResult(const std::string& process, const std::string& driver,
                const VisionResult& result);
  void OnStream(const std::string& process, const VisionResult& result);
  void OnPingAnswered(const std::string& process, const std::string& driver);

  // The position the history holds (an empty one for a new history: the
  // whole journal is taken in); nullopt without a recorder.
  std::optional<JournalMark> JournalPosition(const std::string& process,
                                             const std::string& driver);
  void OnJournalStart(const std::string& process, const std::string& driver,
                      const std::string& journal_id, uint64_t sequence,
                      const JournalReply& position);
  // Logs an error line and counts the results lost.
  void OnJournalGap(const std::string& process, const std::string& driver,
                    uint64_t from, uint64_t to);

  // The page sent the driver a configuration or a command.
  void SetControlled(const std::string& process, const std::string& driver);
  void SetStreamingDriver(const std::string& process,
                          const std::string& driver);
  bool IsControlled(const std::string& process, const std::string& driver);
  bool HasDriver(const std::string& process, const std::string& driver) const;
  // The operator's name of a line's direction ("FORWARD" or "BACKWARD"),
  // as the driver last described the line; empty where it names none.
  std::string DirectionName(const std::string& process,
                            const std::string& driver, const std::string& zone,
                            const std::string& direction) const;

  // The first status carrying the uuid, waiting up to the time-out.
  std::optional<Status> WaitStatus(const std::string& uuid,
                                   std::chrono::milliseconds timeout);
  // Entries of the /events log numbered above `after`, waiting up to the
  // time-out for one; each is (number, JSON of a WebEvent).
  std::vector<std::pair<int64_t, std::string>> EventsAfter(
      int64_t after, std::chrono::milliseconds timeout);
  int64_t LastEventNumber() const;
  // The latest streamed JPEG of the driver numbered above *number, waiting
  // up to the time-out; *number becomes its number and *received the time
  // it arrived.
  bool WaitFrame(const std::string& process, const std::string& driver,
                 int64_t* number, std::shared_ptr<const std::string>* jpeg,
                 std::chrono::milliseconds timeout,
                 Clock::time_point* received = nullptr);
  // Time from a frame's arrival to its being written to an HTTP stream.
  void RecordForwarding(Clock::duration latency);
  bool Snapshot(const std::string& process, const std::string& driver,
                std::shared_ptr<const std::string>* jpeg) const;

  kestu::tools::WebState State() const;
  // Prometheus text exposition format, version 0.0.4.
  std::string Metrics() const;

  // What a page in a browser last reported of itself (tests read it).
  void SetBrowserReport(const std::string& json);
  std::string BrowserReport() const;

  void Stop();
  bool stopped() const;

 private:
  struct Histogram {
    std::vector<int64_t> buckets;  // counts per bound, not cumulative
    double sum = 0.0;
    int64_t count = 0;
  };
  // (tag, zone, direction) of published events.
  using EventKey = std::tuple<std::string, std::string, std::string>;
  struct Driver {
    std::string key;
    std::string name;
    int base_port = 0;
    Clock::time_point last_activity{};
    CameraHealth camera;
    bool configured = false;
    bool controlled = false;
    std::optional<Status> last_status;
    int64_t results = 0;
    std::optional<std::chrono::system_clock::time_point> last_result;
    std::map<EventKey, int64_t> events;
    std::map<std::string, int64_t> statuses;  // by type name
    std::map<std::string, std::pair<int64_t, int64_t>> zone_counts;
    // Direction names by zone, from the driver's description.
    std::map<std::string, std::pair<std::string, std::string>> zone_names;
    int64_t stream_frames = 0;
    int64_t stream_bytes = 0;
    // Shared with the clients that send it, never changed once stored.
    std::shared_ptr<const std::string> jpeg;
    int64_t jpeg_number = 0;
    Clock::time_point jpeg_received{};
    int64_t jpeg_received_ms = 0;  // Unix time; 0 before the first
    Histogram processing;
    uint64_t last_frame_id = 0;  // frame_data id last measured
    // Region-frames the pipeline detected and skipped (motion gating), as
    // its last result said; -1 until a result says.
    int64_t gated_detected = -1;
    int64_t gated_skipped = -1;
    // Statuses the driver could not send, as its last information said.
    int64_t dropped_statuses = 0;
    // The event journal its numbered results are of, and the results that
    // journal no longer held when asked.
    std::string journal_id;
    int64_t journal_gap_results = 0;
  };
  struct Process {
    std::string name;
    std::string host;
    int bind_port = 0;
    int streaming_port = 0;
    bool reachable = false;
    int64_t unanswered_queries = 0;
    std::string streaming_driver;  // set by the page's START_STREAMING
    std::vector<Driver> drivers;
  };

  Driver* FindDriver(const std::string& process, const std::string& driver);
  const Driver* FindDriver(const std::string& process,
                           const std::string& driver) const;
  void Log(const std::string& process, const std::string& driver,
           kestu::tools::WebEvent event);
  void Measure(Driver* driver, const VisionResult& result);
  // Counts by zone from the history's zone exits. Requires: mutex_ held.
  void SeedZoneCounts(Process* process);
  static void KeepFrame(Driver* driver,
                        std::shared_ptr<const std::string> jpeg);
  static void FillCamera(const Driver& driver, Clock::time_point now,
                         kestu::tools::WebCamera* camera);
  // Puts a streamed frame under its driver; the driver's key, or empty.
  std::string StoreStream(const std::string& process,
                          const VisionResult& result,
                          std::shared_ptr<const std::string> image);

  EventRecorder* recorder_ = nullptr;
  TrackHistory* history_ = nullptr;
  SnapshotTap* snapshots_ = nullptr;
  ZoneFirstSeen* first_seen_ = nullptr;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool stopped_ = false;
  std::vector<Process> processes_;
  std::deque<std::pair<int64_t, std::string>> event_log_;
  int64_t last_event_number_ = 0;
  std::deque<kestu::tools::WebEvent> recent_results_;
  std::map<std::string, Status> answers_;  // by uuid
  std::deque<std::string> answer_order_;
  std::string browser_report_;
  Histogram forwarding_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_HUB_H_
