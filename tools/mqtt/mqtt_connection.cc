#include "tools/mqtt/mqtt_connection.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "tools/mqtt/mqtt_log.h"

namespace kestu_tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstAnswerTimeout = std::chrono::seconds(10);
constexpr auto kDropLogPeriod = std::chrono::seconds(10);
constexpr auto kIdleWake = std::chrono::milliseconds(200);
// After the library said it has no connection, before the next attempt.
constexpr auto kRetryAfterNoConnection = std::chrono::milliseconds(100);

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

MqttConnection* Self(void* self) { return static_cast<MqttConnection*>(self); }

}  // namespace

MqttConnection::MqttConnection(BrokerSettings settings, std::string client_id,
                               std::string name, OutboundMessage will,
                               Settled settled, Sending sending)
    : settings_(std::move(settings)),
      client_id_(std::move(client_id)),
      name_(std::move(name)),
      will_(std::move(will)),
      settled_(std::move(settled)),
      sending_(std::move(sending)),
      queue_(settings_.max_queued) {}

MqttConnection::~MqttConnection() { Stop(std::chrono::milliseconds(0)); }

void MqttConnection::OnConnect(mosquitto*, void* self, int rc) {
  Self(self)->Connected(rc);
}
void MqttConnection::OnDisconnect(mosquitto*, void* self, int rc) {
  Self(self)->Disconnected(rc);
}
void MqttConnection::OnPublish(mosquitto*, void* self, int mid) {
  Self(self)->Acknowledged(mid);
}
void MqttConnection::OnLog(mosquitto*, void* self, int level,
                           const char* text) {
  if ((level & MOSQ_LOG_ERR) == 0) return;
  MqttConnection* connection = Self(self);
  std::lock_guard<std::mutex> lock(connection->mutex_);
  connection->library_error_ = text;
  connection->changed_.notify_all();  // before the first answer: a failure
}

std::string MqttConnection::Reason(int rc) const {
  const std::string reason =
      rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  std::lock_guard<std::mutex> lock(mutex_);
  return library_error_.empty() ? reason : reason + " (" + library_error_ + ")";
}

bool MqttConnection::Connect(std::string* error) {
  InitLibrary();
  mosq_ = mosquitto_new(client_id_.c_str(), /*clean_session=*/true, this);
  if (mosq_ == nullptr) {
    *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
    return false;
  }
  mosquitto_connect_callback_set(mosq_, &MqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttConnection::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttConnection::OnPublish);
  mosquitto_log_callback_set(mosq_, &MqttConnection::OnLog);
  mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kMaxInFlight);
  // Events are small and sent one by one: none waits for the one before.
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_reconnect_delay_set(mosq_, settings_.reconnect_min_seconds,
                                settings_.reconnect_max_seconds, true);
  mosquitto_will_set(mosq_, will_.topic.c_str(),
                     static_cast<int>(will_.payload.size()),
                     will_.payload.data(), 1, will_.retained);
  if (!settings_.username.empty()) {
    mosquitto_username_pw_set(
        mosq_, settings_.username.c_str(),
        settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (!settings_.cafile.empty()) {
    const int rc = mosquitto_tls_set(mosq_, settings_.cafile.c_str(), nullptr,
                                     nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "cannot use --cafile " + settings_.cafile + ": " + Reason(rc);
      Release();
      return false;
    }
  }
  int rc = mosquitto_connect(mosq_, settings_.host.c_str(), settings_.port,
                             settings_.keepalive_seconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error =
        "cannot connect to broker " + settings_.Address() + ": " + Reason(rc);
    Release();
    return false;
  }
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "cannot start the MQTT network thread: " + Reason(rc);
    Release();
    return false;
  }
  loop_started_ = true;
  std::optional<int> answer, lost;
  std::string library_error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kFirstAnswerTimeout, [&] {
      return first_answer_.has_value() || first_loss_.has_value() ||
             !library_error_.empty();
    });
    answer = first_answer_;
    lost = first_loss_;
    library_error = library_error_;
  }
  if (answer && *answer == 0) {
    sender_ = std::thread(&MqttConnection::Send, this);
    return true;
  }
  const std::string broker = "broker " + settings_.Address();
  if (answer) {
    *error = broker +
             " refused the connection: " + mosquitto_connack_string(*answer);
  } else if (lost) {
    *error = "cannot connect to " + broker + ": " + mosquitto_strerror(*lost) +
             (library_error.empty() ? "" : " (" + library_error + ")");
  } else if (!library_error.empty()) {
    // A TLS handshake that failed in the network thread, for one.
    *error = "cannot connect to " + broker + ": " + library_error;
  } else {
    *error = broker + " did not answer within " +
             std::to_string(kFirstAnswerTimeout.count()) + " s";
  }
  Release();
  return false;
}

void MqttConnection::Connected(int rc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!first_answer_) {
    first_answer_ = rc;
  } else if (rc != 0) {
    MqttLog("broker " + settings_.Address() + " refused the reconnection of " +
            name_ + ": " + mosquitto_connack_string(rc));
  }
  if (rc == 0) {
    if (connections_ > 0) {
      const int64_t dropped = queue_.dropped() + refused_;
      MqttLog("reconnected to broker " + settings_.Address() + " for " + name_ +
              "; " + std::to_string(dropped - dropped_at_disconnect_) +
              " messages dropped while away (" + std::to_string(dropped) +
              " in total)");
      dropped_logged_ = dropped;
      drops_logged_at_ = Clock::now();
    }
    ++connections_;
    connected_ = true;
    queue_.ResendRetained();
  }
  changed_.notify_all();
}

void MqttConnection::Disconnected(int rc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!first_answer_ && !first_loss_) first_loss_ = rc;
  const bool was_connected = connected_;
  connected_ = false;
  if (was_connected) dropped_at_disconnect_ = queue_.dropped() + refused_;
  if (!stopping_ && was_connected) {
    MqttLog("lost broker " + settings_.Address() + " for " + name_ + " (" +
            mosquitto_strerror(rc) + "); reconnecting after " +
            std::to_string(settings_.reconnect_min_seconds) +
            " s, doubling up to " +
            std::to_string(settings_.reconnect_max_seconds) +
            " s; queueing at most " + std::to_string(settings_.max_queued) +
            " messages");
  }
  changed_.notify_all();
}

void MqttConnection::Acknowledged(int mid) {
  uint64_t tag = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_flight_ > 0) --in_flight_;
    ++published_;
    changed_.notify_all();
    auto it = unacknowledged_.find(mid);
    if (it == unacknowledged_.end()) {
      // Its mosquitto_publish has not returned yet (the sending thread
      // settles it then).
      ++early_acknowledgements_[mid];
      return;
    }
    tag = it->second;
    unacknowledged_.erase(it);
  }
  if (tag != 0 && settled_) settled_(tag, true);
}

void MqttConnection::Settle(const std::optional<OutboundMessage>& dropped) {
  if (dropped && dropped->tag != 0 && settled_) settled_(dropped->tag, false);
}

void MqttConnection::Publish(std::string topic, std::string payload,
                             uint64_t tag) {
  std::optional<OutboundMessage> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = queue_.Push(std::move(topic), std::move(payload), tag);
    changed_.notify_all();
  }
  Settle(dropped);
}

void MqttConnection::SetRetained(const std::string& topic,
                                 std::string payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.SetRetained(topic, std::move(payload));
  changed_.notify_all();
}

bool MqttConnection::CanSend() const {
  return connected_ && in_flight_ < kMaxInFlight && !queue_.Empty() &&
         Clock::now() >= retry_at_;
}

void MqttConnection::LogDrops(bool force) {
  const int64_t dropped = queue_.dropped() + refused_;
  const auto now = Clock::now();
  if (dropped == dropped_logged_) return;
  if (!force && now - drops_logged_at_ < kDropLogPeriod) return;
  MqttLog(std::to_string(dropped - dropped_logged_) + " messages for " + name_ +
          " dropped (queue full at --max_queued " +
          std::to_string(settings_.max_queued) + ", or refused); " +
          std::to_string(dropped) + " in total");
  dropped_logged_ = dropped;
  drops_logged_at_ = now;
}

void MqttConnection::Send() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    changed_.wait_for(lock, kIdleWake, [&] { return stopping_ || CanSend(); });
    if (connected_) LogDrops(false);
    if (stopping_ || !CanSend()) continue;
    OutboundMessage message = *queue_.Next();
    ++in_flight_;
    lock.unlock();
    if (message.tag != 0 && sending_) sending_(message.tag);
    int mid = 0;
    const int rc =
        mosquitto_publish(mosq_, &mid, message.topic.c_str(),
                          static_cast<int>(message.payload.size()),
                          message.payload.data(), 1, message.retained);
    lock.lock();
    if (rc == MOSQ_ERR_SUCCESS) {
      auto early = early_acknowledgements_.find(mid);
      if (early == early_acknowledgements_.end()) {
        unacknowledged_[mid] = message.tag;
        continue;
      }
      if (--early->second == 0) early_acknowledgements_.erase(early);
      if (message.tag == 0 || !settled_) continue;
      lock.unlock();
      settled_(message.tag, true);
      lock.lock();
      continue;
    }
    --in_flight_;
    std::optional<OutboundMessage> dropped;
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST ||
        rc == MOSQ_ERR_ERRNO) {
      dropped = queue_.Return(std::move(message));
      retry_at_ = Clock::now() + kRetryAfterNoConnection;
    } else {
      ++refused_;
      MqttLog("a message to " + message.topic +
              " was refused: " + mosquitto_strerror(rc));
      dropped = std::move(message);
    }
    if (!dropped || dropped->tag == 0) continue;
    lock.unlock();
    Settle(dropped);
    lock.lock();
  }
}

void MqttConnection::Stop(std::chrono::milliseconds drain) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (mosq_ == nullptr || stopping_) return;
    changed_.wait_for(lock, drain, [&] {
      return !connected_ || (queue_.Empty() && in_flight_ == 0);
    });
    LogDrops(true);
    stopping_ = true;
    changed_.notify_all();
  }
  if (sender_.joinable()) sender_.join();
  Release();
}

void MqttConnection::Release() {
  if (mosq_ == nullptr) return;
  mosquitto_disconnect(mosq_);
  if (loop_started_) mosquitto_loop_stop(mosq_, false);
  loop_started_ = false;
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

MqttConnection::Counters MqttConnection::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Counters counters;
  counters.connected = connected_;
  counters.published = published_;
  counters.dropped = queue_.dropped() + refused_;
  counters.queued = static_cast<int64_t>(queue_.queued());
  counters.in_flight = in_flight_;
  counters.reconnects = connections_ > 0 ? connections_ - 1 : 0;
  return counters;
}

}  // namespace kestu_tools
