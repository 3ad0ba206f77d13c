#include "tools/mqtt/mqtt_bridge.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

#include <google/protobuf/util/time_util.h>

#include "absl/time/clock.h"

#include "kestu_tools.pb.h"
#include "tools/driver_client.h"
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

// The event's time as the driver gave it; else now.
absl::Time EventTime(const v1::VisionEvent& event) {
  if (!event.has_timestamp() || event.timestamp().seconds() <= 0) {
    return absl::Now();
  }
  return absl::FromUnixSeconds(event.timestamp().seconds()) +
         absl::Nanoseconds(event.timestamp().nanos());
}

kestu::tools::MqttEvent ToMqttEvent(const std::string& process,
                                    const std::string& driver,
                                    const v1::VisionResult& result,
                                    const v1::VisionEvent& event,
                                    double received, const LocalZone& zone) {
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
  out.set_sequence(result.sequence());
  out.set_direction_name(event.zone_direction_name());
  if (event.has_timestamp() && event.timestamp().seconds() > 0) {
    out.set_local_time(zone.Format(EventTime(event)));
  }
  out.set_time_zone(zone.name());
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

// The driver's place in DriverKeys() from 1; 0: not a driver.
uint64_t DriverSlot(const std::string& driver) {
  const auto& keys = DriverKeys();
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == driver) return i + 1;
  }
  return 0;
}

}  // namespace

uint64_t MqttBridge::NewTag(Process* p, const std::string& driver) {
  return (++p->last_tag << 2) | DriverSlot(driver);
}

MqttBridge::MqttBridge(MqttTopics topics, BrokerSettings settings,
                       LocalZone zone, const std::string& discovery_prefix)
    : topics_(std::move(topics)),
      settings_(std::move(settings)),
      zone_(std::move(zone)),
      discovery_(discovery_prefix.empty() ? nullptr
                                          : std::make_unique<MqttDiscovery>(
                                                discovery_prefix, &topics_)),
      started_(absl::Now()),
      midnights_(&MqttBridge::Midnights, this) {}

MqttBridge::~MqttBridge() { Stop(std::chrono::milliseconds(0)); }

void MqttBridge::Send(Process* p, const ZoneTotals::Out& out) {
  for (const auto& retained : out) {
    p->connection->SetRetained(retained.topic, retained.payload);
  }
}

bool MqttBridge::Connect(const std::string& process, bool suffix_client_id,
                         std::string* error) {
  const std::string client_id =
      suffix_client_id ? settings_.client_id + "-" + ClientIdSuffix(process)
                       : settings_.client_id;
  auto entry = std::make_unique<Process>();
  Process* p = entry.get();
  entry->connection = std::make_unique<MqttConnection>(
      settings_, client_id, process,
      OutboundMessage{topics_.Availability(process), kOffline, true},
      [this, process, p](uint64_t tag, bool acknowledged) {
        Settled(process, p, tag, acknowledged);
      },
      [this, p](uint64_t tag) { Sending(p, tag); });
  if (!entry->connection->Connect(error)) return false;
  entry->zones = std::make_unique<ZoneTotals>(
      process, &topics_, discovery_.get(), &zone_, [] { return absl::Now(); },
      started_);
  std::lock_guard<std::mutex> lock(mutex_);
  Send(p, Restore(process, p));
  processes_[process] = std::move(entry);
  wake_.notify_all();
  return true;
}

void MqttBridge::Stop(std::chrono::milliseconds drain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (midnights_.joinable()) midnights_.join();
  for (auto& [name, process] : processes_) {
    if (process->connection == nullptr) continue;
    process->connection->SetRetained(topics_.Availability(name), kOffline);
    process->connection->Stop(drain);
  }
  // Every acknowledgement is in.
  if (state_file_ != nullptr) state_file_->Stop();
}

void MqttBridge::Midnights() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    // Woken at least every minute, so that a clock set forward is followed.
    auto deadline = std::chrono::system_clock::now() + std::chrono::minutes(1);
    for (const auto& [name, process] : processes_) {
      deadline = std::min(deadline,
                          absl::ToChronoTime(process->zones->NextMidnight()) +
                              std::chrono::milliseconds(1));
    }
    // A process connected meanwhile has its own midnight.
    const size_t processes = processes_.size();
    wake_.wait_until(lock, deadline, [&] {
      return stopping_ || processes_.size() != processes;
    });
    if (stopping_) return;
    bool rolled = false;
    for (auto& [name, process] : processes_) {
      const ZoneTotals::Out out = process->zones->RollOver();
      rolled = rolled || !out.empty();
      Send(process.get(), out);
    }
    if (rolled) {
      MqttLog("a new day in " + zone_.name() + ": today's totals are 0");
      if (state_file_ != nullptr) state_file_->Changed();
    }
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
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (p->cameras[driver].OnInfo(info.has_camera() ? &info.camera() : nullptr,
                                  NowMillis(), CameraHealth::Clock::now())) {
      SetCamera(process, p, driver);
    }
    const ZoneTotals::Out out = p->zones->OnDriverInfo(driver, info);
    changed = !out.empty();
    Send(p, out);
  }
  if (changed && state_file_ != nullptr) state_file_->Changed();
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
  Send(p, p->zones->OnCamera(driver));
}

void MqttBridge::OnResult(const std::string& process, const std::string& driver,
                          const VisionResult& result) {
  Process* p = Find(process);
  if (p == nullptr) return;
  // The result's tag, when the driver's journal is followed.
  uint64_t tag = 0;
  bool today_changed = false;
  double received = EpochSeconds();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AckFrontier::ZoneKey> exits;
    std::vector<std::string> days;
    for (const v1::VisionEvent& event : result.vision_event()) {
      if (event.tag() != v1::ZONE_EXIT) continue;
      const std::string direction =
          v1::ZoneDirection_Name(event.zone_direction());
      const absl::Time when = EventTime(event);
      // The retained values are set under the lock, so that a midnight
      // between two exits leaves the later value.
      Send(p, p->zones->OnExit({driver, event.zone_name(), direction}, when,
                               event.zone_direction_name()));
      exits.emplace_back(event.zone_name(), direction);
      days.push_back(zone_.DayOf(when));
    }
    auto journal = p->journals.find(driver);
    today_changed = !exits.empty() && (journal == p->journals.end() ||
                                       !journal->second.started());
    if (result.sequence() > 0 && journal != p->journals.end()) {
      const uint64_t candidate = NewTag(p, driver);
      const AckFrontier::Outcome outcome = journal->second.Add(
          result.sequence(), candidate, result.vision_event_size(),
          std::move(exits), std::move(days));
      // A result without events may move the position at once; the file
      // takes it with the next change (a restart before that fetches it
      // again, to no effect).
      if (outcome != AckFrontier::Outcome::kIgnored) tag = candidate;
      if (tag != 0 && result.vision_event_size() > 0) {
        received = p->receipts.Take(driver, result.sequence(), tag, received);
      }
    }
  }
  // Today's totals of drivers without a followed journal are kept as they
  // change; those of a journal, as its position moves.
  if (today_changed && state_file_ != nullptr) state_file_->Changed();
  const std::string event_topic = topics_.Event(process, driver);
  for (const v1::VisionEvent& event : result.vision_event()) {
    p->connection->Publish(
        event_topic,
        Json(ToMqttEvent(process, driver, result, event, received, zone_)),
        tag);
  }
}

std::optional<ProcessListener::JournalMark> MqttBridge::JournalPosition(
    const std::string& process, const std::string& driver) {
  Process* p = Find(process);
  if (state_file_ == nullptr || p == nullptr || DriverSlot(driver) == 0) {
    return std::nullopt;
  }
  JournalMark mark;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto journal = p->journals.find(driver);
    if (journal != p->journals.end() && journal->second.started()) {
      mark.journal_id = journal->second.journal_id();
      mark.sequence = journal->second.sequence();
    } else {
      mark.from_end = true;
    }
  }
  if (!mark.from_end) {
    MqttLog("the " + driver + " driver of " + process +
            " goes on after result " + std::to_string(mark.sequence) +
            " of journal " + mark.journal_id);
  }
  return mark;
}

void MqttBridge::OnJournalStart(const std::string& process,
                                const std::string& driver,
                                const std::string& journal_id,
                                uint64_t sequence,
                                const JournalReply& position) {
  Process* p = Find(process);
  if (state_file_ == nullptr || p == nullptr || DriverSlot(driver) == 0) {
    return;
  }
  AckFrontier::Counts totals;
  std::map<AckFrontier::ZoneKey, ZoneTotals::Count> counts;
  for (const auto& total : position.zone_total()) {
    const AckFrontier::ZoneKey key{total.zone_name(),
                                   v1::ZoneDirection_Name(total.direction())};
    totals[key] += total.count();
    // Since the zone's first exit in the journal, which was not seen.
    counts[key].count += total.count();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Zones that the totals lack count 0.
    const ZoneTotals::Out out = p->zones->FollowJournal(driver, counts);
    Send(p, out);
    // Today's totals so far stand as of the start.
    AckFrontier::DayCounts days;
    for (const auto& [key, count] : p->zones->today().totals()) {
      if (std::get<0>(key) != driver) continue;
      days[{std::get<1>(key), std::get<2>(key)}] = {
          p->zones->today().day_text(), count};
    }
    p->journals[driver].Start(journal_id, sequence, std::move(totals),
                              std::move(days));
    p->receipts.Forget(driver);
  }
  MqttLog("the " + driver + " driver of " + process + " follows journal " +
          journal_id + " after result " + std::to_string(sequence) + ", " +
          std::to_string(counts.size()) + " zone counts from it");
  state_file_->Changed();
}

void MqttBridge::OnJournalGap(const std::string& process,
                              const std::string& driver, uint64_t from,
                              uint64_t to) {
  Process* p = Find(process);
  if (p == nullptr) return;
  MqttLog("ERROR: the journal of the " + driver + " driver of " + process +
          " no longer holds results " + std::to_string(from) + " to " +
          std::to_string(to) + ": their events are not published");
  bool moved = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++p->gaps;
    p->gap_results += static_cast<int64_t>(to >= from ? to - from + 1 : 0);
    auto journal = p->journals.find(driver);
    if (journal != p->journals.end()) {
      // The position may pass them.
      moved = journal->second.Add(to, NewTag(p, driver), 0, {}) ==
              AckFrontier::Outcome::kMoved;
    }
  }
  if (moved) state_file_->Changed();
}

void MqttBridge::Settled(const std::string& process, Process* p, uint64_t tag,
                         bool acknowledged) {
  const uint64_t slot = tag & 3;
  if (slot == 0 || slot > DriverKeys().size()) return;
  const std::string& driver = DriverKeys()[slot - 1];
  AckFrontier::Outcome outcome = AckFrontier::Outcome::kIgnored;
  uint64_t held_at = 0, sequence = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto journal = p->journals.find(driver);
    if (journal == p->journals.end()) return;
    outcome = journal->second.Settle(tag, acknowledged);
    held_at = journal->second.held_at();
    sequence = journal->second.sequence();
    if (outcome == AckFrontier::Outcome::kMoved) {
      p->receipts.Passed(driver, sequence);
    }
  }
  if (outcome == AckFrontier::Outcome::kHeld) {
    MqttLog("ERROR: an event of result " + std::to_string(held_at) +
            " of the " + driver + " driver of " + process +
            " was dropped (--max_queued full, or refused); the kept position "
            "stays at " +
            std::to_string(sequence) +
            " until kestu-mqtt restarts, which publishes that result and "
            "the ones after it again");
  }
  if (outcome == AckFrontier::Outcome::kMoved ||
      outcome == AckFrontier::Outcome::kHeld) {
    state_file_->Changed();
  }
}

void MqttBridge::Sending(Process* p, uint64_t tag) {
  if (state_file_ == nullptr) return;
  bool keep = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keep = p->receipts.Sending(tag);
  }
  if (keep) state_file_->WriteNow();
}

std::string MqttBridge::Metrics() const {
  struct Row {
    std::string process;
    bool online = false;
    int64_t gaps = 0;
    int64_t gap_results = 0;
    MqttConnection::Counters counters;
  };
  std::vector<Row> rows;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, process] : processes_) {
      rows.push_back({name,
                      process->online.value_or(false),
                      process->gaps,
                      process->gap_results,
                      {}});
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
  family("kestu_mqtt_journal_gaps_total", "counter",
         "Stretches of results that a driver's journal no longer held when "
         "kestu-mqtt asked for them.",
         [](const Row& r) { return r.gaps; });
  family("kestu_mqtt_journal_gap_results_total", "counter",
         "Results in those stretches: their events were never published.",
         [](const Row& r) { return r.gap_results; });
  if (state_file_ != nullptr) {
    x.Family("kestu_mqtt_state_write_errors_total", "counter",
             "Writes of --state_file that failed.");
    x.Sample("kestu_mqtt_state_write_errors_total", {},
             static_cast<double>(state_file_->write_errors()));
  }
  return x.str();
}

}  // namespace kestu_tools
