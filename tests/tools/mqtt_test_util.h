// Helpers of the kestu-mqtt tests and benchmark: a mosquitto broker of the
// test's own on 127.0.0.1, an MQTT subscriber that keeps what it receives,
// a driver's pinger and kestu-mqtt as a child process.
#ifndef TESTS_TOOLS_MQTT_TEST_UTIL_H_
#define TESTS_TOOLS_MQTT_TEST_UTIL_H_

#include <mosquitto.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace kestu_tools {

inline constexpr char kMqtt[] = KESTU_BINARY_DIR "/tools/kestu-mqtt";
inline constexpr char kMosquitto[] = "/usr/sbin/mosquitto";

// mosquitto on 127.0.0.1:port, configured in a directory of its own, with
// extra configuration lines (a password file, TLS files, ...). Start may be
// called again after Stop, on the same port; with `persistent`, sessions
// and retained messages outlive a Stop.
class Broker {
 public:
  Broker(int port, std::vector<std::string> extra_lines = {},
         bool persistent = false)
      : port_(port) {
    char dir[] = "/tmp/kestu-mqtt-broker-XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? std::string(dir) + "/" : "/tmp/";
    std::ofstream config(dir_ + "mosquitto.conf");
    config << "listener " << port_ << " 127.0.0.1\n"
           << "log_dest stderr\n";
    if (geteuid() == 0)
      config << "user root\n";  // else it reads as "mosquitto"
    if (persistent) {
      config << "persistence true\npersistence_location " << dir_ << "\n";
    }
    bool anonymous = true;
    for (const std::string& line : extra_lines) {
      config << line << "\n";
      anonymous = anonymous && line.rfind("password_file", 0) != 0;
    }
    if (anonymous) config << "allow_anonymous true\n";
  }
  ~Broker() {
    child_.reset();
    std::error_code ignored;
    if (dir_ != "/tmp/") std::filesystem::remove_all(dir_, ignored);
  }

  bool Start() {
    child_ = std::make_unique<kestu_testing::ChildProcess>(
        kMosquitto, std::vector<std::string>{"-c", dir_ + "mosquitto.conf"});
    return child_->WaitForStderr("running", std::chrono::seconds(10));
  }
  // SIGTERM: a persistent broker saves its state first.
  void Stop() {
    if (child_ == nullptr) return;
    child_->Signal(SIGTERM);
    child_->Wait(std::chrono::seconds(10));
    child_.reset();
  }
  // SIGSTOP and SIGCONT: a broker that reads nothing while paused.
  bool Pause() { return child_ != nullptr && child_->Signal(SIGSTOP); }
  bool Resume() { return child_ != nullptr && child_->Signal(SIGCONT); }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& dir() const { return dir_; }
  std::string Stderr() const { return child_ ? child_->Stderr() : ""; }

 private:
  int port_;
  std::string dir_;
  std::unique_ptr<kestu_testing::ChildProcess> child_;
};

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::chrono::steady_clock::time_point received;
};

// A client of the broker subscribed to one pattern (QoS 1), that keeps every
// message it receives. It reconnects by itself; with a `session_id` its
// session (subscription and queued messages) outlives its disconnections.
class MqttSubscriber {
 public:
  MqttSubscriber(int port, const std::string& pattern,
                 const std::string& session_id = "")
      : pattern_(pattern) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(session_id.empty() ? nullptr : session_id.c_str(),
                          session_id.empty(), this);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
      if (rc == 0) {
        mosquitto_subscribe(
            m, nullptr, static_cast<MqttSubscriber*>(self)->pattern_.c_str(),
            1);
      }
    });
    mosquitto_subscribe_callback_set(
        mosq_, [](mosquitto*, void* self, int, int, const int*) {
          auto* s = static_cast<MqttSubscriber*>(self);
          std::lock_guard<std::mutex> lock(s->mutex_);
          s->subscribed_ = true;
          s->changed_.notify_all();
        });
    mosquitto_message_callback_set(
        mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
          auto* s = static_cast<MqttSubscriber*>(self);
          MqttMessage message{m->topic,
                              std::string(static_cast<const char*>(m->payload),
                                          static_cast<size_t>(m->payloadlen)),
                              m->retain, std::chrono::steady_clock::now()};
          std::lock_guard<std::mutex> lock(s->mutex_);
          s->messages_.push_back(std::move(message));
          s->changed_.notify_all();
          if (s->on_message_) s->on_message_(s->messages_.back());
        });
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
  }
  ~MqttSubscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

  // Called (under the subscriber's lock) for every message as it arrives.
  void OnMessage(std::function<void(const MqttMessage&)> callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_message_ = std::move(callback);
  }
  bool Subscribed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return subscribed_; });
  }
  std::vector<MqttMessage> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // The messages received on a topic, in order.
  std::vector<MqttMessage> On(const std::string& topic) {
    std::vector<MqttMessage> on;
    for (const MqttMessage& m : Messages()) {
      if (m.topic == topic) on.push_back(m);
    }
    return on;
  }
  std::optional<MqttMessage> Last(const std::string& topic) {
    auto on = On(topic);
    if (on.empty()) return std::nullopt;
    return on.back();
  }
  // Waits until the topic's latest payload is `payload`.
  bool WaitFor(const std::string& topic, const std::string& payload,
               std::chrono::milliseconds timeout) {
    return kestu_testing::PollUntil(
        [&] {
          auto last = Last(topic);
          return last && last->payload == payload;
        },
        timeout);
  }

 private:
  std::string pattern_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool subscribed_ = false;
  std::vector<MqttMessage> messages_;
  std::function<void(const MqttMessage&)> on_message_;
};

// Pings a driver every 100 ms, as its controlling client does, until
// destroyed.
class Pinger {
 public:
  Pinger(zmq::context_t& context, int base_port)
      : thread_([this, &context, base_port] {
          DriverClient client(context, "127.0.0.1", base_port);
          while (!stop_) {
            client.Ping(std::chrono::milliseconds(1000));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        }) {}
  ~Pinger() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// kestu-mqtt with the given flags.
class MqttProcess {
 public:
  explicit MqttProcess(const std::vector<std::string>& flags)
      : child_(kMqtt, flags) {}
  bool Started() {
    return child_.WaitForStderr("kestu-mqtt: publishing",
                                std::chrono::seconds(20));
  }
  kestu_testing::ChildProcess& child() { return child_; }

 private:
  kestu_testing::ChildProcess child_;
};

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_MQTT_TEST_UTIL_H_
