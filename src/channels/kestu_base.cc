#include "src/channels/kestu_base.h"

#include <chrono>
#include <iostream>

#include <glog/logging.h>

namespace vostek_kestu {

namespace {
constexpr int kSendHighWaterMark = 20;
constexpr int kIdleSleepMs = 100;

// Errors other than a context shut-down end the process: a driver whose
// channels failed can no longer be reached by its client.
bool IsShutdown(const zmq::error_t& e) { return e.num() == ETERM; }
}  // namespace

KestuBase::KestuBase(const std::string& driver_name)
    : driver_name_(driver_name) {}

KestuBase::~KestuBase() { StopChannels(); }

bool KestuBase::Init(int base_port, const std::string& host,
                     const std::string& transport) {
  transport_ = transport;
  base_port_ = base_port;

  auto configuration = std::make_unique<SocketHolder>(zmq::socket_type::pull);
  if (!configuration->Bind(MakeEndpoint(transport_, host, base_port))) {
    return false;
  }
  auto error = std::make_unique<SocketHolder>(zmq::socket_type::pub);
  error->socket().set(zmq::sockopt::sndhwm, kSendHighWaterMark);
  if (!error->Bind(MakeEndpoint(transport_, host, base_port + 2))) {
    return false;
  }
  auto data = std::make_unique<SocketHolder>(zmq::socket_type::pub);
  data->socket().set(zmq::sockopt::sndhwm, kSendHighWaterMark);
  if (!data->Bind(MakeEndpoint(transport_, host, base_port + 3))) {
    return false;
  }
  // The keep-alive socket is bound here rather than in its thread, so that a
  // port already in use is reported by Init instead of ending the process.
  auto keep_alive = std::make_unique<SocketHolder>(zmq::socket_type::rep);
  keep_alive->socket().set(zmq::sockopt::rcvtimeo,
                           timeout_after_last_ping_.load());
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
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  if (configuration_channel_) configuration_channel_->Shutdown();
  if (keep_alive_channel_) keep_alive_channel_->Shutdown();
  for (std::thread* t :
       {&configuration_thread_, &keep_alive_thread_, &update_thread_}) {
    if (t->joinable()) t->join();
  }
}

bool KestuBase::SendUpdate() { return false; }

bool KestuBase::ProcessConfig(const DriverConfig& config) { return true; }

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
  error_channel_->Send(status.SerializeAsString());
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
  return info;
}

void KestuBase::ConfigurationLoop() {
  zmq::socket_t& socket = configuration_channel_->socket();
  try {
    while (!stop_) {
      zmq::pollitem_t items[] = {{socket.handle(), 0, ZMQ_POLLIN, 0}};
      zmq::poll(items, 1, std::chrono::milliseconds(-1));
      if (!(items[0].revents & ZMQ_POLLIN)) continue;
      std::lock_guard<std::mutex> lock(channel_mutex_);
      zmq::message_t message;
      if (!socket.recv(message, zmq::recv_flags::dontwait)) continue;
      // Only the first frame is a configuration; drop any further parts.
      while (message.more()) {
        zmq::message_t rest;
        if (!socket.recv(rest, zmq::recv_flags::dontwait)) break;
        if (!rest.more()) break;
      }
      HandleConfigurationMessage(message.to_string());
    }
  } catch (const zmq::error_t& e) {
    if (!IsShutdown(e)) {
      LOG(FATAL) << "Configuration channel of " << driver_name_
                 << " failed: " << e.what();
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
    configured_ = false;
    return;
  }
  if (!ProcessConfig(config)) {
    std::cerr << "Specific config for " << driver_name_ << " failed.";
    SendStatus(Status::STATUS_ERROR, "",
               "Invalid specific configuration for " + driver_name_ +
                   " driver. Could not parse protobuf.");
    configured_ = false;
    return;
  }
  if (config.delay_between_updates() > 0) {
    delay_between_updates_ = static_cast<int>(config.delay_between_updates() * 1000);
    std::cerr << "New delay between updates for " << driver_name_ << " is "
              << delay_between_updates_ << " ms." << std::endl;
  }
  if (config.timeout_after_last_ping() > 0) {
    timeout_after_last_ping_ =
        static_cast<int>(config.timeout_after_last_ping() * 1000);
    std::cerr << "New timeout after last ping for " << driver_name_ << " "
              << timeout_after_last_ping_ << " ms." << std::endl;
  }
  configured_ = true;
}

void KestuBase::KeepAliveLoop() {
  zmq::socket_t& socket = keep_alive_channel_->socket();
  int applied_timeout = timeout_after_last_ping_;
  try {
    while (!stop_) {
      const int timeout = timeout_after_last_ping_;
      if (timeout != applied_timeout) {
        socket.set(zmq::sockopt::rcvtimeo, timeout);
        applied_timeout = timeout;
      }
      zmq::message_t request;
      if (!socket.recv(request, zmq::recv_flags::none)) {
        alive_ = false;
        continue;
      }
      // A multi-part ping is read whole before the reply may be sent.
      while (request.more()) {
        if (!socket.recv(request, zmq::recv_flags::none)) break;
      }
      alive_ = true;
      socket.send(zmq::message_t(), zmq::send_flags::none);
    }
  } catch (const zmq::error_t& e) {
    if (!IsShutdown(e)) {
      LOG(FATAL) << "Keep-alive channel of " << driver_name_
                 << " failed: " << e.what();
    }
  }
}

void KestuBase::UpdateLoop() {
  while (!stop_) {
    int sleep_ms;
    {
      std::unique_lock<std::mutex> lock(channel_mutex_);
      if ((mandatory_configuration_ && !configured_) || !alive_) {
        sleep_ms = kIdleSleepMs;
      } else {
        if (!SendUpdate()) {
          SendStatus(Status::STATUS_ERROR, "",
                     "Could not send update for " + driver_name_ + " driver.");
        }
        sleep_ms = delay_between_updates_;
      }
    }
    if (sleep_ms > 0 && !SleepUnlessStopped(sleep_ms)) return;
  }
}

bool KestuBase::SleepUnlessStopped(int milliseconds) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return stop_.load(); });
}

}  // namespace vostek_kestu
