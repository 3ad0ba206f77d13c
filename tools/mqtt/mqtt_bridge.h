// MqttBridge: what kestu-mqtt's process links hear, published to the MQTT
// broker (topics: MqttTopics), over one MqttConnection per process.
//
//  - every event of a published result: an MqttEvent in protobuf's JSON
//    mapping (every field present) on <process>/<driver>/event;
//  - every ZONE_EXIT also raises the retained running total of its zone and
//    direction, counted since kestu-mqtt started, on
//    <process>/<driver>/zone/<zone>/<direction>/count (the number as text);
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
// Example:
//   MqttBridge bridge(MqttTopics("kestu"), settings);
//   if (!bridge.Connect("127.0.0.1:60000", false, &error)) return 1;
//   ProcessLink link(&bridge, address);  // address.name "127.0.0.1:60000"
//   link.Start();
#ifndef TOOLS_MQTT_MQTT_BRIDGE_H_
#define TOOLS_MQTT_MQTT_BRIDGE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "tools/mqtt/broker_settings.h"
#include "tools/mqtt/mqtt_connection.h"
#include "tools/mqtt/mqtt_topics.h"
#include "tools/web/camera_health.h"
#include "tools/web/process_listener.h"

namespace kestu_tools {

class MqttBridge : public ProcessListener {
 public:
  MqttBridge(MqttTopics topics, BrokerSettings settings);
  ~MqttBridge() override;

  // Connects to the broker for one process (named as its link names it),
  // before its link starts. The client id is the settings' own, with
  // "-<process>" appended (':' and '.' as '_') when `suffix_client_id`.
  // False, with the reason, when the broker cannot be reached.
  bool Connect(const std::string& process, bool suffix_client_id,
               std::string* error);
  // Sets every process "offline" and closes the connections, each sending
  // what it still has for up to `drain`.
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

 private:
  // (driver, zone, direction) of zone exits.
  using CountKey = std::tuple<std::string, std::string, std::string>;
  struct Process {
    std::unique_ptr<MqttConnection> connection;
    std::optional<bool> online;  // unknown before the first query
    std::map<CountKey, int64_t> counts;
    std::map<std::string, CameraHealth> cameras;  // by driver
  };

  Process* Find(const std::string& process);
  // Sets the driver's retained camera topic. Requires: mutex_ held, so
  // that two changes are set in the order they were made.
  void SetCamera(const std::string& process, Process* p,
                 const std::string& driver);

  const MqttTopics topics_;
  const BrokerSettings settings_;
  // Filled by Connect before the links start, then fixed.
  std::map<std::string, std::unique_ptr<Process>> processes_;
  // Guards the processes' online, counts and cameras.
  mutable std::mutex mutex_;
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_BRIDGE_H_
