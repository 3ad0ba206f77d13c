// MqttConnection: one connection to the MQTT broker, with its last will, its
// OutboundQueue, and reconnection with back-off.
//
// Connect makes the first connection and waits for the broker's answer: a
// broker that cannot be reached, or that refuses the client, is an error
// then (kestu-mqtt ends with status 1). Afterwards libmosquitto's network
// thread re-makes a lost connection, waiting reconnect_min_seconds before
// the first attempt and twice as long after every failed one, up to
// reconnect_max_seconds. Meanwhile messages queue (at most max_queued: the
// oldest is dropped for a new one, counted, and reported in a log line at
// most every 10 seconds and on reconnection); retained values are sent
// again on every connection.
//
// Messages go out at QoS 1 from a sending thread of its own, at most
// kMaxInFlight unacknowledged at a time, so that the library never holds
// more than that; libmosquitto sends the unacknowledged ones again after a
// reconnection.
//
// A message published with a tag is settled once: acknowledged by the
// broker (its PUBACK), or dropped (pushed out of the queue, or refused).
// One still queued or unacknowledged when the connection stops is neither.
//
// Thread-safe; Stop (or the destructor) sends what is pending for a while,
// disconnects and joins the threads.
//
// Example:
//   BrokerSettings settings;  // 127.0.0.1:1883, max_queued 10000
//   MqttConnection connection(settings, "kestu-mqtt-gate", "gate",
//                             {"kestu/gate/availability", "offline", true});
//   std::string error;
//   if (!connection.Connect(&error)) { std::cerr << error; return 1; }
//   connection.SetRetained("kestu/gate/availability", "online");
//   connection.Publish("kestu/gate/crowd/event", json);
#ifndef TOOLS_MQTT_MQTT_CONNECTION_H_
#define TOOLS_MQTT_MQTT_CONNECTION_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/mqtt/broker_settings.h"
#include "tools/mqtt/outbound_queue.h"

struct mosquitto;

namespace kestu_tools {

class MqttConnection {
 public:
  static constexpr int kMaxInFlight = 32;

  struct Counters {
    bool connected = false;
    int64_t published = 0;  // acknowledged by the broker
    int64_t dropped = 0;    // pushed out of the queue, or refused
    int64_t queued = 0;
    int64_t in_flight = 0;
    int64_t reconnects = 0;  // connections after the first
  };

  // Called under no lock of the connection's, from its threads or from
  // Publish.
  using Settled = std::function<void(uint64_t tag, bool acknowledged)>;
  // Called from the sending thread, under no lock of the connection's,
  // just before a tagged message goes to the library (again after a
  // reconnection).
  using Sending = std::function<void(uint64_t tag)>;

  // `name` names the connection in log lines; `will` is published by the
  // broker when the connection ends without a goodbye; `settled` is told
  // what became of each tagged message, `sending` when one goes out.
  MqttConnection(BrokerSettings settings, std::string client_id,
                 std::string name, OutboundMessage will,
                 Settled settled = nullptr, Sending sending = nullptr);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  // False, with the reason, when the first connection fails.
  bool Connect(std::string* error);
  void Publish(std::string topic, std::string payload, uint64_t tag = 0);
  void SetRetained(const std::string& topic, std::string payload);
  // Sends what is pending while connected, for up to `drain`, then
  // disconnects. Stopping twice is safe.
  void Stop(std::chrono::milliseconds drain);

  Counters counters() const;
  const std::string& name() const { return name_; }

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  void Connected(int rc);
  void Disconnected(int rc);
  void Acknowledged(int mid);
  void Settle(const std::optional<OutboundMessage>& dropped);
  void Send();  // the sending thread
  bool CanSend() const;
  void LogDrops(bool force);
  // libmosquitto's words for a return code, with its last error line.
  std::string Reason(int rc) const;
  void Release();

  const BrokerSettings settings_;
  const std::string client_id_;
  const std::string name_;
  const OutboundMessage will_;
  const Settled settled_;
  const Sending sending_;
  mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;
  std::thread sender_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  OutboundQueue queue_;
  std::optional<int> first_answer_;  // the first CONNACK's code
  std::optional<int> first_loss_;    // a disconnection before it
  bool connected_ = false;
  bool stopping_ = false;
  int in_flight_ = 0;
  // The tags of the messages handed to the library and not acknowledged,
  // by message id; acknowledgements that came before mosquitto_publish
  // returned the id.
  std::map<int, uint64_t> unacknowledged_;
  std::map<int, int> early_acknowledgements_;
  int64_t published_ = 0;
  int64_t refused_ = 0;
  int64_t connections_ = 0;
  int64_t dropped_at_disconnect_ = 0;
  int64_t dropped_logged_ = 0;
  std::chrono::steady_clock::time_point drops_logged_at_{};
  std::chrono::steady_clock::time_point retry_at_{};
  std::string library_error_;  // libmosquitto's last error line
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_CONNECTION_H_
