#include "tools/mqtt/mqtt_bridge.h"

#include <cinttypes>
#include <cstdio>
#include <utility>
#include <vector>

#include <google/protobuf/util/time_util.h>

#include "kestu_tools.pb.h"
#include "tools/json_output.h"
#include "tools/metrics/exposition.h"
#include "tools/mqtt/mqtt_log.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";

double EpochSeconds() {
  return std::chrono::duration<double>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Json(const google::protobuf::Message& message) {
  return AsJson(message, /*indented=*/false);
}

// The type of the detection an event is about: the one with the event's
// tracking id, else the only one.
std::string DetectionType(const v1::VisionResult& result,
                          const v1::VisionEvent& event) {
  const v1::RectangularDetection* detection = nullptr;
  for (const auto& candidate : result.rect_detection()) {
    if (candidate.tracking_id() == event.tracking_id()) detection = &candidate;
  }
  if (detection == nullptr && result.rect_detection_size() == 1) {
    detection = &result.rect_detection(0);
  }
  if (detection == nullptr) return "";
  if (detection->type().empty() && detection->vehicle_recognition_size() > 0) {
    return detection->vehicle_recognition(0).type();
  }
  return detection->type();
}

kestu::tools::MqttEvent ToMqttEvent(const std::string& process,
                                    const std::string& driver,
                                    const v1::VisionResult& result,
                                    const v1::VisionEvent& event,
                                    double received) {
  kestu::tools::MqttEvent out;
  out.set_process(process);
  out.set_driver(driver);
  out.set_tag(event.tag());
  out.set_zone(event.zone_name());
  out.set_area(event.area_name());
  out.set_direction(event.zone_direction());
  out.set_speed(event.speed());
  out.set_tracking_id(event.tracking_id());
  out.set_type(DetectionType(result, event));
  if (event.has_timestamp()) *out.mutable_time() = event.timestamp();
  out.set_result_uuid(result.uuid());
  out.set_received(received);
  return out;
}

std::string ClientIdSuffix(const std::string& process) {
  std::string suffix = process;
  for (char& c : suffix) {
    if (c == ':' || c == '.') c = '_';
  }
  return suffix;
}

// {"state":"connected","since":"<RFC 3339, UTC>","since_epoch":<seconds>}
std::string CameraJson(bool connected, int64_t since_ms) {
  using google::protobuf::util::TimeUtil;
  char epoch[32];
  if (since_ms % 1000 == 0) {
    std::snprintf(epoch, sizeof(epoch), "%" PRId64, since_ms / 1000);
  } else {
    std::snprintf(epoch, sizeof(epoch), "%" PRId64 ".%03" PRId64,
                  since_ms / 1000, since_ms % 1000);
  }
  return std::string("{\"state\":\"") +
         (connected ? "connected" : "disconnected") + "\",\"since\":\"" +
         TimeUtil::ToString(TimeUtil::MillisecondsToTimestamp(since_ms)) +
         "\",\"since_epoch\":" + epoch + "}";
}

}  // namespace

MqttBridge::MqttBridge(MqttTopics topics, BrokerSettings settings)
    : topics_(std::move(topics)), settings_(std::move(settings)) {}

MqttBridge::~MqttBridge() { Stop(std::chrono::milliseconds(0)); }

bool MqttBridge::Connect(const std::string& process, bool suffix_client_id,
                         std::string* error) {
  const std::string client_id =
      suffix_client_id ? settings_.client_id + "-" + ClientIdSuffix(process)
                       : settings_.client_id;
  auto entry = std::make_unique<Process>();
  entry->connection = std::make_unique<MqttConnection>(
      settings_, client_id, process,
      OutboundMessage{topics_.Availability(process), kOffline, true});
  if (!entry->connection->Connect(error)) return false;
  processes_[process] = std::move(entry);
  return true;
}

void MqttBridge::Stop(std::chrono::milliseconds drain) {
  for (auto& [name, process] : processes_) {
    if (process->connection == nullptr) continue;
    process->connection->SetRetained(topics_.Availability(name), kOffline);
    process->connection->Stop(drain);
  }
}

MqttBridge::Process* MqttBridge::Find(const std::string& process) {
  auto it = processes_.find(process);
  return it == processes_.end() ? nullptr : it->second.get();
}

void MqttBridge::SetReachable(const std::string& process, bool reachable) {
  Process* p = Find(process);
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (p->online == reachable) return;
    p->online = reachable;
  }
  MqttLog("process " + process + " is " + (reachable ? kOnline : kOffline));
  p->connection->SetRetained(topics_.Availability(process),
                             reachable ? kOnline : kOffline);
}

void MqttBridge::OnStatus(const std::string& process, const std::string& driver,
                          const Status& status) {
  Process* p = Find(process);
  if (p == nullptr) return;
  p->connection->Publish(topics_.Status(process, driver), Json(status));
  if (status.type() != Status::CAMERA_CONNECTED &&
      status.type() != Status::CAMERA_DISCONNECTED) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (p->cameras[driver].OnStatus(status.type() == Status::CAMERA_CONNECTED,
                                  NowMillis(), CameraHealth::Clock::now())) {
    SetCamera(process, p, driver);
  }
}

void MqttBridge::OnDriverInfo(const std::string& process,
                              const std::string& driver,
                              const DriverInfo& info) {
  Process* p = Find(process);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (p->cameras[driver].OnInfo(info.has_camera() ? &info.camera() : nullptr,
                                NowMillis(), CameraHealth::Clock::now())) {
    SetCamera(process, p, driver);
  }
}

void MqttBridge::SetCamera(const std::string& process, Process* p,
                           const std::string& driver) {
  const CameraHealth& camera = p->cameras[driver];
  // A source taken away leaves its last state retained.
  if (!camera.has_source()) return;
  MqttLog("the camera of the " + driver + " driver of " + process + " is " +
          (camera.connected() ? "connected" : "disconnected"));
  p->connection->SetRetained(topics_.Camera(process, driver),
                             CameraJson(camera.connected(), camera.since_ms()));
}

void MqttBridge::OnResult(const std::string& process, const std::string& driver,
                          const VisionResult& result) {
  Process* p = Find(process);
  if (p == nullptr || result.vision_event_size() == 0) return;
  const double received = EpochSeconds();
  const std::string event_topic = topics_.Event(process, driver);
  for (const auto& event : result.vision_event()) {
    p->connection->Publish(
        event_topic,
        Json(ToMqttEvent(process, driver, result, event, received)));
    if (event.tag() != v1::ZONE_EXIT) continue;
    const std::string direction =
        v1::ZoneDirection_Name(event.zone_direction());
    int64_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      count = ++p->counts[CountKey(driver, event.zone_name(), direction)];
    }
    // Set under no lock of ours: two exits of one zone come from the one
    // link thread, in order.
    p->connection->SetRetained(
        topics_.Count(process, driver, event.zone_name(), direction),
        std::to_string(count));
  }
}

std::string MqttBridge::Metrics() const {
  struct Row {
    std::string process;
    bool online = false;
    MqttConnection::Counters counters;
  };
  std::vector<Row> rows;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, process] : processes_) {
      rows.push_back({name, process->online.value_or(false), {}});
    }
  }
  for (Row& row : rows) {
    row.counters = processes_.at(row.process)->connection->counters();
  }
  Exposition x;
  auto family = [&](const std::string& name, const std::string& type,
                    const std::string& help, auto value) {
    x.Family(name, type, help);
    for (const Row& row : rows) {
      x.Sample(name, {{"process", row.process}},
               static_cast<double>(value(row)));
    }
  };
  family("kestu_mqtt_broker_connected", "gauge",
         "Whether the connection to the broker for the process is up.",
         [](const Row& r) { return r.counters.connected ? 1 : 0; });
  family("kestu_mqtt_process_online", "gauge",
         "Whether the process answered its last driver-information query.",
         [](const Row& r) { return r.online ? 1 : 0; });
  family("kestu_mqtt_messages_published_total", "counter",
         "Messages the broker acknowledged.",
         [](const Row& r) { return r.counters.published; });
  family("kestu_mqtt_messages_dropped_total", "counter",
         "Messages dropped, the oldest first, while more than --max_queued "
         "waited for the broker (or refused by the MQTT library).",
         [](const Row& r) { return r.counters.dropped; });
  family("kestu_mqtt_messages_queued", "gauge",
         "Messages waiting for the broker.",
         [](const Row& r) { return r.counters.queued; });
  family("kestu_mqtt_messages_in_flight", "gauge",
         "Messages sent and not yet acknowledged.",
         [](const Row& r) { return r.counters.in_flight; });
  family("kestu_mqtt_reconnects_total", "counter",
         "Connections to the broker made again after one was lost.",
         [](const Row& r) { return r.counters.reconnects; });
  return x.str();
}

}  // namespace kestu_tools
