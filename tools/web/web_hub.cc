#include "tools/web/web_hub.h"

#include <algorithm>
#include <iostream>

#include <google/protobuf/util/json_util.h>

#include "tools/driver_client.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr size_t kEventLogSize = 1000;
constexpr size_t kRecentResults = 50;
constexpr size_t kAnswers = 200;

double TimestampSeconds(const google::protobuf::Timestamp& t) {
  return static_cast<double>(t.seconds()) + t.nanos() * 1e-9;
}

}  // namespace

const std::vector<double>& WebHub::HistogramBounds() {
  static const std::vector<double> bounds = {
      0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};
  return bounds;
}

const std::vector<double>& WebHub::ForwardingBounds() {
  static const std::vector<double> bounds = {0.0005, 0.001, 0.0025, 0.005,
                                             0.01,   0.025, 0.05,   0.1};
  return bounds;
}

void WebHub::AddProcess(const std::string& name, const std::string& host,
                        int bind_port, int streaming_port) {
  std::lock_guard<std::mutex> lock(mutex_);
  Process process;
  process.name = name;
  process.host = host;
  process.bind_port = bind_port;
  process.streaming_port = streaming_port;
  for (const std::string& key : DriverKeys()) {
    Driver driver;
    driver.key = key;
    driver.base_port = bind_port + DriverPortOffset(key);
    driver.processing.buckets.assign(HistogramBounds().size(), 0);
    process.drivers.push_back(std::move(driver));
  }
  SeedZoneCounts(&process);
  processes_.push_back(std::move(process));
}

void WebHub::Attach(EventRecorder* recorder, TrackHistory* history) {
  std::lock_guard<std::mutex> lock(mutex_);
  recorder_ = recorder;
  history_ = history;
  for (Process& p : processes_) SeedZoneCounts(&p);
}

void WebHub::AttachSnapshots(SnapshotTap* tap) {
  std::lock_guard<std::mutex> lock(mutex_);
  snapshots_ = tap;
}

void WebHub::SeedZoneCounts(Process* process) {
  if (recorder_ == nullptr) return;
  std::vector<ZoneExitTotal> totals;
  std::string error;
  if (!recorder_->store()->ZoneExitTotals(process->name, &totals, &error)) {
    std::cerr << "kestu-web: the counts by zone of " << process->name
              << " start from 0 (" << error << ")" << std::endl;
    return;
  }
  for (Driver& d : process->drivers) d.zone_counts.clear();
  for (const ZoneExitTotal& total : totals) {
    for (Driver& d : process->drivers) {
      if (d.key != total.driver) continue;
      auto& count = d.zone_counts[total.zone];
      (total.direction == "BACKWARD" ? count.second : count.first) +=
          total.count;
    }
  }
}

WebHub::Driver* WebHub::FindDriver(const std::string& process,
                                   const std::string& driver) {
  for (Process& p : processes_) {
    if (p.name != process) continue;
    for (Driver& d : p.drivers) {
      if (d.key == driver) return &d;
    }
  }
  return nullptr;
}

const WebHub::Driver* WebHub::FindDriver(const std::string& process,
                                         const std::string& driver) const {
  return const_cast<WebHub*>(this)->FindDriver(process, driver);
}

bool WebHub::HasDriver(const std::string& process,
                       const std::string& driver) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindDriver(process, driver) != nullptr;
}

void WebHub::SetReachable(const std::string& process, bool reachable) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Process& p : processes_) {
    if (p.name != process) continue;
    p.reachable = reachable;
    p.unanswered_queries = reachable ? 0 : p.unanswered_queries + 1;
  }
}

void WebHub::SetDriverName(const std::string& process,
                           const std::string& driver, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Driver* d = FindDriver(process, driver)) d->name = name;
}

std::string WebHub::DirectionName(const std::string& process,
                                  const std::string& driver,
                                  const std::string& zone,
                                  const std::string& direction) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Driver* d = FindDriver(process, driver);
  if (d == nullptr) return "";
  const auto names = d->zone_names.find(zone);
  if (names == d->zone_names.end()) return "";
  if (direction == "FORWARD") return names->second.first;
  if (direction == "BACKWARD") return names->second.second;
  return "";
}

void WebHub::OnDriverInfo(const std::string& process, const std::string& driver,
                          const DriverInfo& info) {
  if (snapshots_ != nullptr && HasDriver(process, driver)) {
    snapshots_->OnDescribed(process, driver, info);
  }
  if (first_seen_ != nullptr && HasDriver(process, driver)) {
    for (const auto& zone : info.zone()) {
      first_seen_->Saw(process, driver, zone.name(), EpochSeconds());
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (Driver* d = FindDriver(process, driver)) {
    d->camera.OnInfo(info.has_camera() ? &info.camera() : nullptr, NowMillis(),
                     Clock::now());
    d->dropped_statuses = info.dropped_statuses();
    d->configured = info.configured();
    d->zone_names.clear();
    for (const auto& zone : info.zone()) {
      d->zone_names[zone.name()] = {zone.forward_name(), zone.backward_name()};
    }
  }
}

void WebHub::Log(const std::string& process, const std::string& driver,
                 kestu::tools::WebEvent event) {
  event.set_process(process);
  event.set_driver(driver);
  event.set_received(EpochSeconds());
  std::string json;
  google::protobuf::util::MessageToJsonString(event, &json);
  event_log_.emplace_back(++last_event_number_, std::move(json));
  while (event_log_.size() > kEventLogSize) event_log_.pop_front();
  if (event.has_result()) {
    recent_results_.push_back(std::move(event));
    while (recent_results_.size() > kRecentResults) recent_results_.pop_front();
  }
}

void WebHub::OnStatus(const std::string& process, const std::string& driver,
                      const Status& status) {
  if (!HasDriver(process, driver)) return;
  if (recorder_ != nullptr)
    recorder_->AddStatus(process, driver, status, EpochSeconds());
  std::lock_guard<std::mutex> lock(mutex_);
  Driver* d = FindDriver(process, driver);
  if (d == nullptr) return;
  d->last_activity = Clock::now();
  d->last_status = status;
  ++d->statuses[Status::MessageType_Name(status.type())];
  switch (status.type()) {
    case Status::CAMERA_CONNECTED:
    case Status::CAMERA_DISCONNECTED:
      d->camera.OnStatus(status.type() == Status::CAMERA_CONNECTED, NowMillis(),
                         Clock::now());
      break;
    case Status::CONFIG_RECEIVED:
      d->configured = true;
      break;
    case Status::STARTED:
      // Sent while a driver waits for its first configuration.
      d->configured = false;
      break;
    default:
      break;
  }
  if (!status.uuid().empty() && answers_.count(status.uuid()) == 0) {
    answers_[status.uuid()] = status;
    answer_order_.push_back(status.uuid());
    while (answer_order_.size() > kAnswers) {
      answers_.erase(answer_order_.front());
      answer_order_.pop_front();
    }
  }
  kestu::tools::WebEvent event;
  *event.mutable_status() = status;
  Log(process, driver, std::move(event));
  changed_.notify_all();
}

void WebHub::Measure(Driver* driver, const VisionResult& result) {
  if (!result.has_frame_data()) return;
  const auto& frame = result.frame_data();
  const auto& sections = frame.sections();
  const auto detected = sections.find("detected_frames");
  const auto skipped = sections.find("skipped_frames");
  if (detected != sections.end() && skipped != sections.end()) {
    driver->gated_detected = static_cast<int64_t>(detected->second);
    driver->gated_skipped = static_cast<int64_t>(skipped->second);
  }
  if (!frame.has_start_time() || !frame.has_end_time()) return;
  if (frame.id() != 0 && frame.id() == driver->last_frame_id) return;
  driver->last_frame_id = frame.id();
  const double seconds =
      std::max(0.0, TimestampSeconds(frame.end_time()) -
                        TimestampSeconds(frame.start_time()));
  const auto& bounds = HistogramBounds();
  const auto slot = std::lower_bound(bounds.begin(), bounds.end(), seconds);
  if (slot != bounds.end()) ++driver->processing.buckets[slot - bounds.begin()];
  driver->processing.sum += seconds;
  ++driver->processing.count;
}

void WebHub::OnResult(const std::string& process, const std::string& driver,
                      const VisionResult& result) {
  // A preview answer carries only an image; it is not a published result.
  const bool preview = result.rect_detection_size() == 0 &&
                       result.vision_event_size() == 0 &&
                       result.has_result_image();
  auto image =
      preview
          ? std::make_shared<const std::string>(result.result_image().image())
          : nullptr;
  if (!preview && snapshots_ != nullptr && HasDriver(process, driver)) {
    snapshots_->OnPublished(process, driver, result);
  }
  if (!preview && first_seen_ != nullptr && HasDriver(process, driver)) {
    for (const auto& event : result.vision_event()) {
      if (event.tag() != v1::ZONE_EXIT && event.tag() != v1::ZONE_ENTER) {
        continue;
      }
      first_seen_->Saw(process, driver, event.zone_name(),
                       event.has_timestamp()
                           ? static_cast<double>(event.timestamp().seconds())
                           : EpochSeconds());
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  Driver* d = FindDriver(process, driver);
  if (d == nullptr) return;
  if (!preview && recorder_ != nullptr) {
    // Queued in the order the link gives them (one thread), outside the
    // lock.
    const std::string journal_id = d->journal_id;
    lock.unlock();
    recorder_->AddResult(process, driver, result, EpochSeconds(), journal_id);
    lock.lock();
    d = FindDriver(process, driver);
  }
  d->last_activity = Clock::now();
  if (preview) {
    KeepFrame(d, std::move(image));
    changed_.notify_all();
    return;
  }
  ++d->results;
  d->last_result = std::chrono::system_clock::now();
  for (const auto& event : result.vision_event()) {
    const std::string tag = v1::EventTag_Name(event.tag());
    const std::string direction =
        event.tag() == v1::ZONE_EXIT || event.tag() == v1::ZONE_ENTER
            ? v1::ZoneDirection_Name(event.zone_direction())
            : "";
    ++d->events[EventKey(tag, event.zone_name(), direction)];
    if (event.tag() == v1::ZONE_EXIT) {
      auto& count = d->zone_counts[event.zone_name()];
      if (event.zone_direction() == v1::BACKWARD) {
        ++count.second;
      } else {
        ++count.first;
      }
    }
  }
  Measure(d, result);
  kestu::tools::WebEvent event;
  *event.mutable_result() = result;
  event.mutable_result()->clear_result_image();
  Log(process, driver, std::move(event));
  changed_.notify_all();
}

std::optional<ProcessListener::JournalMark> WebHub::JournalPosition(
    const std::string& process, const std::string& driver) {
  if (recorder_ == nullptr || !HasDriver(process, driver)) return std::nullopt;
  // Asked once per driver, before the link passes any of its numbered
  // results: none is queued, so the store holds the position committed.
  JournalMark mark;
  std::string error;
  if (!recorder_->store()->LoadPosition(process, driver, &mark.journal_id,
                                        &mark.sequence, &error)) {
    // Taking the whole journal in again stores nothing twice.
    std::cerr << "kestu-web: ERROR: " << error << "; the " << driver
              << " driver of " << process << " is read from its journal's start"
              << std::endl;
    mark = JournalMark();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (Driver* d = FindDriver(process, driver)) d->journal_id = mark.journal_id;
  return mark;
}

void WebHub::OnJournalStart(const std::string& process,
                            const std::string& driver,
                            const std::string& journal_id, uint64_t sequence,
                            const JournalReply& position) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Driver* d = FindDriver(process, driver);
    if (d == nullptr) return;
    d->journal_id = journal_id;
  }
  if (recorder_ != nullptr) {
    recorder_->AddJournalStart(process, driver, journal_id, sequence);
  }
}

void WebHub::OnJournalGap(const std::string& process, const std::string& driver,
                          uint64_t from, uint64_t to) {
  std::string journal_id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Driver* d = FindDriver(process, driver);
    if (d == nullptr || to < from) return;
    d->journal_gap_results += static_cast<int64_t>(to - from + 1);
    journal_id = d->journal_id;
  }
  std::cerr << "kestu-web: ERROR: events " << from << ".." << to << " of the "
            << driver << " driver of " << process
            << " were no longer held by the process's journal; the history "
               "lacks them"
            << std::endl;
  if (recorder_ != nullptr) {
    recorder_->AddJournalGap(process, driver, journal_id, from, to,
                             EpochSeconds());
  }
}

void WebHub::OnStream(const std::string& process, const VisionResult& result) {
  // Copied once, before the lock; every MJPEG client then shares it.
  const std::string& bytes = result.result_image().image();
  auto image =
      bytes.empty() ? nullptr : std::make_shared<const std::string>(bytes);
  if (snapshots_ != nullptr) snapshots_->OnStreamed(process, result, image);
  std::string key;  // the driver the frame goes to
  {
    std::lock_guard<std::mutex> lock(mutex_);
    key = StoreStream(process, result, std::move(image));
  }
  if (history_ != nullptr && !key.empty()) history_->Add(process, key, result);
}

std::string WebHub::StoreStream(const std::string& process,
                                const VisionResult& result,
                                std::shared_ptr<const std::string> image) {
  const std::string& bytes = result.result_image().image();
  Process* p = nullptr;
  for (Process& candidate : processes_) {
    if (candidate.name == process) p = &candidate;
  }
  if (p == nullptr || p->drivers.empty()) return "";
  Driver* d = nullptr;
  if (!p->streaming_driver.empty()) {
    d = FindDriver(process, p->streaming_driver);
  } else {
    d = &p->drivers.front();
    for (Driver& candidate : p->drivers) {
      if (candidate.last_activity > d->last_activity) d = &candidate;
    }
  }
  if (d == nullptr) return "";
  d->last_activity = Clock::now();
  ++d->stream_frames;
  d->stream_bytes += static_cast<int64_t>(bytes.size());
  if (image != nullptr) KeepFrame(d, std::move(image));
  Measure(d, result);
  changed_.notify_all();
  return d->key;
}

void WebHub::KeepFrame(Driver* driver,
                       std::shared_ptr<const std::string> jpeg) {
  driver->jpeg = std::move(jpeg);
  ++driver->jpeg_number;
  driver->jpeg_received = Clock::now();
  driver->jpeg_received_ms = NowMillis();
}

void WebHub::OnPingAnswered(const std::string& process,
                            const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Driver* d = FindDriver(process, driver)) d->last_activity = Clock::now();
}

void WebHub::SetControlled(const std::string& process,
                           const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Driver* d = FindDriver(process, driver)) d->controlled = true;
}

bool WebHub::IsControlled(const std::string& process,
                          const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Driver* d = FindDriver(process, driver);
  return d != nullptr && d->controlled;
}

void WebHub::SetStreamingDriver(const std::string& process,
                                const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Process& p : processes_) {
    if (p.name == process) p.streaming_driver = driver;
  }
}

std::optional<Status> WebHub::WaitStatus(const std::string& uuid,
                                         std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [&] { return stopped_ || answers_.count(uuid) > 0; });
  auto it = answers_.find(uuid);
  if (it == answers_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::pair<int64_t, std::string>> WebHub::EventsAfter(
    int64_t after, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [&] { return stopped_ || last_event_number_ > after; });
  std::vector<std::pair<int64_t, std::string>> entries;
  for (const auto& entry : event_log_) {
    if (entry.first > after) entries.push_back(entry);
  }
  return entries;
}

int64_t WebHub::LastEventNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_event_number_;
}

bool WebHub::WaitFrame(const std::string& process, const std::string& driver,
                       int64_t* number,
                       std::shared_ptr<const std::string>* jpeg,
                       std::chrono::milliseconds timeout,
                       Clock::time_point* received) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] {
    const Driver* d = FindDriver(process, driver);
    return stopped_ || (d != nullptr && d->jpeg_number > *number);
  });
  const Driver* d = FindDriver(process, driver);
  if (d == nullptr || d->jpeg_number <= *number || d->jpeg == nullptr) {
    return false;
  }
  *number = d->jpeg_number;
  *jpeg = d->jpeg;
  if (received != nullptr) *received = d->jpeg_received;
  return true;
}

void WebHub::RecordForwarding(Clock::duration latency) {
  const double seconds = std::chrono::duration<double>(latency).count();
  std::lock_guard<std::mutex> lock(mutex_);
  if (forwarding_.buckets.empty()) {
    forwarding_.buckets.assign(ForwardingBounds().size(), 0);
  }
  const auto& bounds = ForwardingBounds();
  const auto slot = std::lower_bound(bounds.begin(), bounds.end(), seconds);
  if (slot != bounds.end()) ++forwarding_.buckets[slot - bounds.begin()];
  forwarding_.sum += seconds;
  ++forwarding_.count;
}

bool WebHub::Snapshot(const std::string& process, const std::string& driver,
                      std::shared_ptr<const std::string>* jpeg) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Driver* d = FindDriver(process, driver);
  if (d == nullptr || d->jpeg == nullptr) return false;
  *jpeg = d->jpeg;
  return true;
}

void WebHub::SetBrowserReport(const std::string& json) {
  std::lock_guard<std::mutex> lock(mutex_);
  browser_report_ = json;
}

std::string WebHub::BrowserReport() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return browser_report_;
}

void WebHub::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

bool WebHub::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

}  // namespace kestu_tools
