#include "src/channels/kestu_base.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include <glog/logging.h>

#include "src/common/free_memory.h"

namespace vostek_kestu {

namespace {
constexpr int kSendHighWaterMark = 20;
// Statuses come in bursts (a configuration's lines, an outage's reports)
// and are small: a subscriber that is a moment late loses none of them.
// Beyond that the status socket refuses a send rather than dropping it
// silently (the "no drop" option, which the library applies to PUB sockets
// too), so that every status not sent is counted; the data socket keeps
// dropping silently.
constexpr int kStatusHighWaterMark = 1000;
// Pause after a socket error, so that an error that repeats does not spin.
constexpr int kErrorPauseMs = 100;
// Idle time of the configuration channel after which the memory of a large
// message is returned to the system.
constexpr int kTrimIdleMs = 200;
// Longest single wait of the keep-alive receive: a new time-out applies
// within it.
constexpr int64_t kKeepAliveSliceMs = 50;

using Clock = std::chrono::steady_clock;

// A context shut-down is how StopChannels ends a channel thread.
bool IsShutdown(const zmq::error_t& e) { return e.num() == ETERM; }

// Seconds of a DriverConfig field as milliseconds within the allowed range.
// Returns false, with a WARNING, when the value is refused (negative or not a
// finite number); clamps, with a WARNING, a value outside the range.
bool BoundedMilliseconds(const std::string& driver, const char* field,
                         float seconds, int current_ms, int* milliseconds) {
  if (!std::isfinite(seconds) || seconds < 0) {
    LOG(WARNING) << field << " for " << driver << " refused: " << seconds
                 << " s is "
                 << (std::isfinite(seconds) ? "negative"
                                            : "not a finite number")
                 << "; keeping " << current_ms << " ms.";
    return false;
  }
  const double requested = static_cast<double>(seconds) * 1000.0;
  if (requested < KestuBase::kMinIntervalMs) {
    LOG(WARNING) << field << " for " << driver << " of " << seconds
                 << " s is below " << KestuBase::kMinIntervalMs << " ms; using "
                 << KestuBase::kMinIntervalMs << " ms.";
    *milliseconds = KestuBase::kMinIntervalMs;
  } else if (requested > KestuBase::kMaxIntervalMs) {
    LOG(WARNING) << field << " for " << driver << " of " << seconds
                 << " s is above one day; using " << KestuBase::kMaxIntervalMs
                 << " ms.";
    *milliseconds = KestuBase::kMaxIntervalMs;
  } else {
    *milliseconds = static_cast<int>(requested);
  }
  return true;
}

}  // namespace

KestuBase::KestuBase(const std::string& driver_name, Handlers handlers)
    : driver_name_(driver_name), handlers_(std::move(handlers)) {}

KestuBase::~KestuBase() { StopChannels(); }

bool KestuBase::Init(int base_port, const std::string& host,
                     const std::string& transport) {
  transport_ = transport;
  base_port_ = base_port;

  auto configuration = std::make_unique<SocketHolder>(zmq::socket_type::pull);
  configuration->SetMaxMessageSize(max_configuration_message_bytes_);
  if (!configuration->Bind(MakeEndpoint(transport_, host, base_port))) {
    return false;
  }
  auto error = std::make_unique<SocketHolder>(zmq::socket_type::pub);
  error->socket().set(zmq::sockopt::sndhwm, kStatusHighWaterMark);
  error->socket().set(zmq::sockopt::xpub_nodrop, true);
  error->SetMaxMessageSize(kMaxSmallMessageBytes);
  if (!error->Bind(MakeEndpoint(transport_, host, base_port + 2))) {
    return false;
  }
  auto data = std::make_unique<SocketHolder>(zmq::socket_type::pub);
  data->socket().set(zmq::sockopt::sndhwm, kSendHighWaterMark);
  data->SetMaxMessageSize(kMaxSmallMessageBytes);
  if (!data->Bind(MakeEndpoint(transport_, host, base_port + 3))) {
    return false;
  }
  // The keep-alive socket is bound here rather than in its thread, so that a
  // port already in use is reported by Init instead of ending the process.
  auto keep_alive = std::make_unique<SocketHolder>(zmq::socket_type::rep);
  keep_alive->SetMaxMessageSize(kMaxSmallMessageBytes);
  if (!keep_alive->Bind(MakeEndpoint(transport_, host, base_port + 1))) {
    return false;
  }

  StopChannels();  // a second Init replaces the first channels
  stop_ = false;
  configuration_channel_ = std::move(configuration);
  error_channel_ = std::move(error);
  data_channel_ = std::move(data);
  keep_alive_channel_ = std::move(keep_alive);
  configuration_thread_ = std::thread(&KestuBase::ConfigurationLoop, this);
  keep_alive_thread_ = std::thread(&KestuBase::KeepAliveLoop, this);
  update_thread_ = std::thread(&KestuBase::UpdateLoop, this);
  std::cerr << "Registered driver " << driver_name_ << " with port "
            << base_port_ << "." << std::endl;
  return true;
}

void KestuBase::StopChannels() {
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    stop_ = true;
  }
  wait_cv_.notify_all();
  if (configuration_channel_) configuration_channel_->Shutdown();
  if (keep_alive_channel_) keep_alive_channel_->Shutdown();
  for (std::thread* t :
       {&configuration_thread_, &keep_alive_thread_, &update_thread_}) {
    if (t->joinable()) t->join();
  }
}

void KestuBase::SetAlive(bool alive) {
  if (alive_.exchange(alive) != alive) WakeWaits();
}

void KestuBase::SetConfigured(bool configured) {
  if (configured_.exchange(configured) != configured) WakeWaits();
}

void KestuBase::WakeWaits() {
  { std::lock_guard<std::mutex> lock(wait_mutex_); }
  wait_cv_.notify_all();
}

bool KestuBase::SendUpdate() {
  return handlers_.update ? handlers_.update() : false;
}

bool KestuBase::ProcessConfig(const DriverConfig& config) {
  return handlers_.accept ? handlers_.accept(config) : true;
}

std::string KestuBase::RefusalReason(const DriverConfig& config) {
  return handlers_.refusal ? handlers_.refusal(config) : "";
}

void KestuBase::SetNotesForHuman(const std::string& notes) {
  notes_for_human_ = notes;
}

void KestuBase::SendStatus(Status::MessageType type, const std::string& uuid,
                           const std::string& message) {
  if (!error_channel_) return;
  Status status;
  status.set_type(type);
  status.set_uuid(uuid);
  status.set_message(message);
  if (error_channel_->TrySend(status.SerializeAsString()) ==
      SocketHolder::SendResult::kFull) {
    CountDroppedStatus();
  }
}

void KestuBase::CountDroppedStatus() {
  const int64_t total = ++dropped_statuses_;
  int64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(drop_log_mutex_);
    ++unlogged_drops_;
    const Clock::time_point now = Clock::now();
    if (last_drop_log_ &&
        now - *last_drop_log_ < dropped_status_log_interval_) {
      return;
    }
    last_drop_log_ = now;
    dropped = unlogged_drops_;
    unlogged_drops_ = 0;
  }
  LOG(WARNING) << dropped << (dropped == 1 ? " status" : " statuses")
               << " could not be sent on the status port of " << driver_name_
               << " (a subscriber is not reading); " << total
               << " dropped so far.";
}

bool KestuBase::SendData(const std::string& bytes) {
  return data_channel_ && data_channel_->Send(bytes);
}

DriverInfo KestuBase::Info() const {
  DriverInfo info;
  info.set_driver_name(driver_name_);
  info.set_base_port(base_port_);
  info.set_provides_updates(provides_updates_);
  info.set_delay_between_updates(delay_between_updates_);
  info.set_needs_pings(needs_pings_);
  info.set_timeout_after_last_ping(timeout_after_last_ping_);
  info.set_notes_for_human(notes_for_human_);
  info.set_dropped_statuses(dropped_statuses_);
  if (camera_state_) *info.mutable_camera() = camera_state_();
  info.set_configured(configured_ || holds_configuration_);
  std::lock_guard<std::mutex> lock(zones_mutex_);
  for (const ZoneInfo& zone : zones_) *info.add_zone() = zone;
  return info;
}

void KestuBase::ConfigurationLoop() {
  zmq::socket_t& socket = configuration_channel_->socket();
  // After a large message the freed memory goes back to the system once the
  // channel has been idle for a moment, not after every message of a burst.
  bool trim_pending = false;
  while (!stop_) {
    try {
      zmq::pollitem_t items[] = {{socket.handle(), 0, ZMQ_POLLIN, 0}};
      zmq::poll(items, 1,
                std::chrono::milliseconds(trim_pending ? kTrimIdleMs : -1));
      if (!(items[0].revents & ZMQ_POLLIN)) {
        if (trim_pending) ReturnFreeMemoryToSystem();
        trim_pending = false;
        continue;
      }
      std::lock_guard<std::mutex> lock(channel_mutex_);
      zmq::message_t message;
      if (!socket.recv(message, zmq::recv_flags::dontwait)) continue;
      // Only the first frame is a configuration; drop any further parts.
      while (message.more()) {
        zmq::message_t rest;
        if (!socket.recv(rest, zmq::recv_flags::dontwait)) break;
        if (!rest.more()) break;
      }
      trim_pending |= message.size() > kLargeMessageBytes;
      HandleConfigurationMessage(message.to_string());
    } catch (const zmq::error_t& e) {
      if (IsShutdown(e) || stop_) return;
      if (e.num() == EINTR) continue;  // a signal landed on this thread
      LOG(ERROR) << "Configuration channel of " << driver_name_
                 << " failed: " << e.what();
      if (!SleepUnlessStopped(kErrorPauseMs)) return;
    }
  }
}

void KestuBase::HandleConfigurationMessage(const std::string& bytes) {
  DriverConfig config;
  // An empty frame is never a configuration a client meant to send; it is
  // rejected like any other unparsable input.
  if (bytes.empty() || !config.ParseFromString(bytes)) {
    std::cerr << "Invalid configuration for " << driver_name_ << " driver."
              << std::endl;
    SendStatus(Status::STATUS_ERROR, "",
               "Invalid configuration for " + driver_name_ +
                   " driver. Could not parse protobuf.");
    SetConfigured(false);
    return;
  }
  const std::string refusal = RefusalReason(config);
  if (!refusal.empty()) {
    SendStatus(Status::STATUS_ERROR, config.uuid(), refusal);
    return;
  }
  if (!ProcessConfig(config)) {
    std::cerr << "Specific config for " << driver_name_ << " failed.";
    SendStatus(Status::STATUS_ERROR, "",
               "Invalid specific configuration for " + driver_name_ +
                   " driver. Could not parse protobuf.");
    SetConfigured(false);
    return;
  }
  ApplyTimingFields(config);
  SetConfigured(true);
}

void KestuBase::ApplyTimingFields(const DriverConfig& config) {
  // 0 is the field left out: the current value stays, without a message.
  int milliseconds = 0;
  bool changed = false;
  if (config.delay_between_updates() != 0 &&
      BoundedMilliseconds(driver_name_, "delay_between_updates",
                          config.delay_between_updates(),
                          delay_between_updates_, &milliseconds)) {
    delay_between_updates_ = milliseconds;
    changed = true;
    std::cerr << "New delay between updates for " << driver_name_ << " is "
              << milliseconds << " ms." << std::endl;
  }
  if (config.timeout_after_last_ping() != 0 &&
      BoundedMilliseconds(driver_name_, "timeout_after_last_ping",
                          config.timeout_after_last_ping(),
                          timeout_after_last_ping_, &milliseconds)) {
    timeout_after_last_ping_ = milliseconds;
    changed = true;
    std::cerr << "New timeout after last ping for " << driver_name_ << " "
              << milliseconds << " ms." << std::endl;
  }
  if (changed) TimingChanged();
}

void KestuBase::TimingChanged() {
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    ++timing_generation_;
  }
  wait_cv_.notify_all();
}

void KestuBase::KeepAliveLoop() {
  zmq::socket_t& socket = keep_alive_channel_->socket();
  // The time-out runs from the last ping (or from the last time-out), with
  // whatever value the time-out has now: the receive waits in slices, so
  // that a new time-out applies within one slice.
  Clock::time_point wait_start = Clock::now();
  int applied_wait_ms = -1;
  while (!stop_) {
    try {
      const Clock::time_point now = Clock::now();
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          wait_start + std::chrono::milliseconds(timeout_after_last_ping_) -
          now);
      if (left.count() <= 0) {
        SetAlive(false);
        wait_start = now;
        continue;
      }
      const int wait_ms =
          static_cast<int>(std::min<int64_t>(left.count(), kKeepAliveSliceMs));
      if (wait_ms != applied_wait_ms) {
        socket.set(zmq::sockopt::rcvtimeo, wait_ms);
        applied_wait_ms = wait_ms;
      }
      if (AnswerPing(socket)) wait_start = Clock::now();
    } catch (const zmq::error_t& e) {
      if (IsShutdown(e) || stop_) return;
      if (e.num() == EINTR) continue;  // a signal landed on this thread
      LOG(ERROR) << "Keep-alive channel of " << driver_name_
                 << " failed: " << e.what();
      if (!SleepUnlessStopped(kErrorPauseMs)) return;
    }
  }
}

bool KestuBase::AnswerPing(zmq::socket_t& socket) {
  zmq::message_t request;
  if (!socket.recv(request, zmq::recv_flags::none)) return false;
  // A multi-part ping is read whole before the reply may be sent; its parts
  // arrive together.
  while (request.more()) {
    if (!socket.recv(request, zmq::recv_flags::dontwait)) break;
  }
  SetAlive(true);  // before the answer, so a pinged client sees it set
  socket.send(zmq::message_t(), zmq::send_flags::none);
  return true;
}

void KestuBase::UpdateLoop() {
  while (!stop_) {
    bool idle;
    {
      std::unique_lock<std::mutex> lock(channel_mutex_);
      idle = (mandatory_configuration_ && !configured_) || !alive_;
      if (!idle && !SendUpdate()) {
        SendStatus(Status::STATUS_ERROR, "",
                   "Could not send update for " + driver_name_ + " driver.");
      }
    }
    const bool go_on =
        idle ? WaitUntilActive() : WaitForNextCycle(Clock::now());
    if (!go_on) return;
  }
}

bool KestuBase::WaitUntilActive() {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  wait_cv_.wait(lock, [this] {
    return stop_ || ((!mandatory_configuration_ || configured_) && alive_);
  });
  return !stop_;
}

bool KestuBase::WaitForNextCycle(Clock::time_point cycle_end) {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  while (!stop_) {
    const uint64_t generation = timing_generation_;
    const Clock::time_point next =
        cycle_end + std::chrono::milliseconds(delay_between_updates_);
    const bool woken = wait_cv_.wait_until(
        lock, next, [&] { return stop_ || timing_generation_ != generation; });
    if (!woken) return true;  // the delay has passed
  }
  return false;
}

bool KestuBase::SleepUnlessStopped(int milliseconds) {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  return !wait_cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return stop_.load(); });
}

}  // namespace vostek_kestu
