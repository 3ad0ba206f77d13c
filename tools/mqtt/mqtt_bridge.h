// MqttBridge: what kestu-mqtt's process links hear, published to the MQTT
// broker (topics: MqttTopics), over one MqttConnection per process.
//
//  - every event of a published result: an MqttEvent in protobuf's JSON
//    mapping (every field present, the result's journal number among them,
//    its time in the site's time zone and its direction's name) on
//    <process>/<driver>/event;
//  - every ZONE_EXIT also raises the retained totals of its zone and
//    direction (see ZoneTotals and MqttTopics): the count on
//    <process>/<driver>/zone/<zone>/<direction>/count (the number as text),
//    counted since kestu-mqtt started, or, with a state file, carried on
//    from the driver's event journal (below); today's on .../today, "0"
//    again at every local midnight; both, with since when, on .../totals;
//  - the counting lines of configured drivers (their driver information)
//    and, with a discovery prefix, their discovery configurations and
//    those of the drivers' cameras (MqttDiscovery);
//  - every status: the Status in protobuf's JSON mapping on
//    <process>/<driver>/status;
//  - the state of each driver's camera, for drivers with a source,
//    retained, on <process>/<driver>/camera:
//    {"state":"connected","since":"2024-03-10T10:00:00.250Z",
//     "since_epoch":1710064800.250} ("disconnected" too), published when it
//    changes, by a camera status or by the polled DriverInfo (see
//    CameraHealth);
//  - whether the process answers driver-information queries: "online" or
//    "offline", retained, on <process>/availability, which is also the
//    connection's last will ("offline") and is set "offline" on Stop.
//
// Everything but the retained values goes out at QoS 1 through the
// connection's bounded queue. It never sends anything to a driver, so the
// links never ping. Thread-safe once every process is connected.
//
// With a state file (UseStateFile), the bridge follows each driver's event
// journal (see JournalFollower): it keeps, per process and driver, the
// journal's id, the last result whose events the broker has acknowledged
// with every one before it (AckFrontier) and the zone counts as of there.
// A restarted kestu-mqtt asks the journal for what follows that result, so
// that nothing is lost and nothing acknowledged is published again (but
// the acknowledgements of the last few milliseconds before a kill, which
// the file did not get: the file keeps, before a result's events go out,
// the time they say kestu-mqtt received them, so that such a result goes
// out again as the very same messages; see SentReceipts); a driver it has
// kept nothing of starts at the
// journal's end with the journal's zone totals as its counts. The file
// also keeps today's totals (of a followed journal, as of the kept
// position) with their local day, and the lines announced for discovery.
//
// Example:
//   MqttBridge bridge(MqttTopics("kestu"), settings, zone, "homeassistant");
//   if (!bridge.UseStateFile("/var/lib/kestu/mqtt/state", &error)) return 1;
//   if (!bridge.Connect("127.0.0.1:60000", false, &error)) return 1;
//   ProcessLink link(&bridge, address);  // address.name "127.0.0.1:60000"
//   link.Start();
#ifndef TOOLS_MQTT_MQTT_BRIDGE_H_
#define TOOLS_MQTT_MQTT_BRIDGE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/mqtt/ack_frontier.h"
#include "tools/mqtt/broker_settings.h"
#include "tools/mqtt/local_time.h"
#include "tools/mqtt/mqtt_connection.h"
#include "tools/mqtt/mqtt_discovery.h"
#include "tools/mqtt/mqtt_topics.h"
#include "tools/mqtt/sent_receipts.h"
#include "tools/mqtt/state_file.h"
#include "tools/mqtt/zone_totals.h"
#include "tools/web/camera_health.h"
#include "tools/web/process_listener.h"

namespace kestu_tools {

class MqttBridge : public ProcessListener {
 public:
  // Local times and days in `zone`; no discovery messages when
  // `discovery_prefix` is empty.
  MqttBridge(MqttTopics topics, BrokerSettings settings, LocalZone zone,
             const std::string& discovery_prefix);
  ~MqttBridge() override;

  // Keeps the journal positions in `path`, read now and written as they
  // move. Before any Connect. A damaged file is logged as an ERROR, set
  // aside (PATH.damaged) and taken as none. False, with the reason, when
  // the file cannot be written.
  bool UseStateFile(const std::string& path, std::string* error);

  // Connects to the broker for one process (named as its link names it),
  // before its link starts. The client id is the settings' own, with
  // "-<process>" appended (':' and '.' as '_') when `suffix_client_id`.
  // False, with the reason, when the broker cannot be reached.
  bool Connect(const std::string& process, bool suffix_client_id,
               std::string* error);
  // Sets every process "offline" and closes the connections, each sending
  // what it still has for up to `drain`; then writes the state file.
  // Stopping twice is safe.
  void Stop(std::chrono::milliseconds drain);

  // kestu-mqtt's own metrics in the Prometheus text format.
  std::string Metrics() const;

  void AddProcess(const std::string& name, const std::string& host,
                  int bind_port, int streaming_port) override {}
  void SetReachable(const std::string& process, bool reachable) override;
  void SetDriverName(const std::string& process, const std::string& driver,
                     const std::string& name) override {}
  void OnDriverInfo(const std::string& process, const std::string& driver,
                    const DriverInfo& info) override;
  void OnStatus(const std::string& process, const std::string& driver,
                const Status& status) override;
  void OnResult(const std::string& process, const std::string& driver,
                const VisionResult& result) override;
  void OnStream(const std::string& process,
                const VisionResult& result) override {}
  void SetControlled(const std::string& process,
                     const std::string& driver) override {}
  bool IsControlled(const std::string& process,
                    const std::string& driver) override {
    return false;
  }
  void OnPingAnswered(const std::string& process,
                      const std::string& driver) override {}

  // With a state file: the kept position, else the journal's end. Without
  // one: nullopt (results as they come, counts since start).
  std::optional<JournalMark> JournalPosition(
      const std::string& process, const std::string& driver) override;
  // The journal's totals become the driver's counts, published retained.
  void OnJournalStart(const std::string& process, const std::string& driver,
                      const std::string& journal_id, uint64_t sequence,
                      const JournalReply& position) override;
  void OnJournalGap(const std::string& process, const std::string& driver,
                    uint64_t from, uint64_t to) override;

 private:
  struct Process {
    std::unique_ptr<MqttConnection> connection;
    std::optional<bool> online;  // unknown before the first query
    std::unique_ptr<ZoneTotals> zones;
    std::map<std::string, CameraHealth> cameras;  // by driver
    // With a state file, by driver.
    std::map<std::string, AckFrontier> journals;
    SentReceipts receipts;  // of the followed journals' results
    uint64_t last_tag = 0;
    int64_t gaps = 0;
    int64_t gap_results = 0;
  };

  Process* Find(const std::string& process);
  // A new tag for a message of the driver (the driver in its low bits).
  // Requires: mutex_ held.
  static uint64_t NewTag(Process* p, const std::string& driver);
  // The connection of `process` settled a tagged message.
  void Settled(const std::string& process, Process* p, uint64_t tag,
               bool acknowledged);
  // A tagged message of `p` goes to the broker: its result's receipt is
  // kept first.
  void Sending(Process* p, uint64_t tag);
  StateFile::State Snapshot() const;
  // Takes the kept state of `process` out of kept_ into `p`; the retained
  // values to set. Requires: mutex_ held.
  ZoneTotals::Out Restore(const std::string& process, Process* p);
  // Sets the retained values. Requires: mutex_ held.
  static void Send(Process* p, const ZoneTotals::Out& out);
  // The thread that makes every today "0" at local midnight.
  void Midnights();
  // Sets the driver's retained camera topic. Requires: mutex_ held, so
  // that two changes are set in the order they were made.
  void SetCamera(const std::string& process, Process* p,
                 const std::string& driver);

  const MqttTopics topics_;
  const BrokerSettings settings_;
  const LocalZone zone_;
  const std::unique_ptr<MqttDiscovery> discovery_;  // null: none
  const absl::Time started_;
  // Filled by Connect before the links start, then fixed.
  std::map<std::string, std::unique_ptr<Process>> processes_;
  std::unique_ptr<StateFile> state_file_;
  // Guards the processes' map while Connect fills it, their online,
  // zones, cameras and journals, kept_ and stopping_.
  mutable std::mutex mutex_;
  // The state kept of processes not (yet) connected, written back as it
  // was.
  StateFile::State kept_;
  std::condition_variable wake_;  // stopping_ set
  bool stopping_ = false;
  std::thread midnights_;  // last: started once the rest is there
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_BRIDGE_H_
