// kestu-mqtt: the events, zone counts, statuses and availability of one or
// more running kestu-vision processes, published to an MQTT broker.
//
//   kestu-mqtt --process 127.0.0.1:60000 [--process [name=]host:port[/s]...]
//              [--broker 127.0.0.1:1883] [--topic_prefix kestu]
//              [--client_id ID] [--username U --password_file FILE]
//              [--cafile ca.pem] [--max_queued 10000] [--metrics_port 8081]
//              [--state_file /var/lib/kestu/mqtt/state]
//              [--time_zone Europe/Berlin] [--discovery_prefix homeassistant]
//
// It joins each process as kestu-web does (it watches and never pings) and
// keeps one broker connection per process, whose last will marks the
// process "offline". A broker that cannot be reached at start, an
// unreadable password file or a bad flag end it with status 1 and the
// reason on standard error; a broker lost later is reconnected with
// back-off. SIGINT or SIGTERM stops it: every process is marked "offline"
// and what is queued is sent for up to 2 seconds.
//
// With --state_file it follows each driver's event journal (a process run
// with --state_dir keeps one) and keeps how far the broker acknowledged it,
// so that after a restart of kestu-mqtt or a broker outage every event is
// published once and the retained counts carry on (see MqttBridge).
//
// Event times and today's totals are read in --time_zone (the system's
// zone by default); an unknown zone ends it at start. With a discovery
// prefix (default "homeassistant"; empty: none) it publishes retained
// discovery configurations for every counting line and camera.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gflags/gflags.h>

#include "tools/mqtt/broker_settings.h"
#include "tools/mqtt/local_time.h"
#include "tools/mqtt/metrics_server.h"
#include "tools/mqtt/mqtt_bridge.h"
#include "tools/mqtt/mqtt_discovery.h"
#include "tools/mqtt/mqtt_log.h"
#include "tools/mqtt/mqtt_topics.h"
#include "tools/web/process_link.h"

DEFINE_string(broker, "127.0.0.1:1883",
              "The MQTT broker: host:port, host (port 1883) or [v6]:port");
DEFINE_string(topic_prefix, "kestu", "First level(s) of every topic");
DEFINE_string(client_id, "",
              "MQTT client id (default kestu-mqtt-<host name>); with several "
              "processes each connection appends -<process>");
DEFINE_string(username, "", "User name at the broker");
DEFINE_string(password_file, "",
              "File whose first line is the password (with --username)");
DEFINE_string(cafile, "",
              "CA certificates (PEM) that the broker's TLS certificate is "
              "checked against; set, the connection uses TLS");
DEFINE_int32(max_queued, 10000,
             "Messages kept per process while the broker is away; beyond "
             "that the oldest are dropped and counted");
DEFINE_int32(metrics_port, 8081,
             "Port of the Prometheus metrics (/metrics); 0: none");
DEFINE_string(metrics_host, "127.0.0.1", "Address of the metrics endpoint");
DEFINE_int32(reconnect_min_seconds, 1,
             "Wait before the first reconnection attempt");
DEFINE_int32(reconnect_max_seconds, 30,
             "Longest wait between reconnection attempts (doubling up to it)");
DEFINE_string(state_file, "",
              "File that keeps, per process and driver, the last journalled "
              "event the broker acknowledged and the zone counts; with it, "
              "a restart publishes what it missed and counts on. Empty: "
              "none (events as they come, counts since start)");
DEFINE_string(time_zone, "",
              "IANA time zone (Europe/Berlin) of the local times in events "
              "and of the day of today's totals; empty: the system's zone");
DEFINE_string(discovery_prefix, "homeassistant",
              "Prefix of the retained MQTT discovery configurations of the "
              "counting lines and cameras; empty: none");

namespace {

using kestu_tools::MqttLog;

constexpr auto kDrainOnStop = std::chrono::milliseconds(2000);

std::string HostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
    return "host";
  }
  return name;
}

bool Settings(kestu_tools::BrokerSettings* settings, std::string* error) {
  if (!kestu_tools::ParseBrokerAddress(FLAGS_broker, &settings->host,
                                       &settings->port, error)) {
    return false;
  }
  if (FLAGS_max_queued < 1) {
    *error = "--max_queued must be at least 1";
    return false;
  }
  if (FLAGS_reconnect_min_seconds < 1 ||
      FLAGS_reconnect_max_seconds < FLAGS_reconnect_min_seconds) {
    *error =
        "--reconnect_min_seconds must be at least 1 and "
        "--reconnect_max_seconds at least as long";
    return false;
  }
  if (FLAGS_metrics_port < 0 || FLAGS_metrics_port > 65535) {
    *error = "--metrics_port must lie in 0-65535";
    return false;
  }
  if (!FLAGS_password_file.empty() && FLAGS_username.empty()) {
    *error = "--password_file needs --username";
    return false;
  }
  if (!FLAGS_password_file.empty() &&
      !kestu_tools::ReadPasswordFile(FLAGS_password_file, &settings->password,
                                     error)) {
    return false;
  }
  if (!kestu_tools::MqttTopics::ValidPrefix(FLAGS_topic_prefix, error)) {
    return false;
  }
  if (!FLAGS_discovery_prefix.empty() &&
      !kestu_tools::MqttDiscovery::ValidPrefix(FLAGS_discovery_prefix, error)) {
    return false;
  }
  settings->client_id =
      FLAGS_client_id.empty() ? "kestu-mqtt-" + HostName() : FLAGS_client_id;
  settings->username = FLAGS_username;
  settings->cafile = FLAGS_cafile;
  settings->max_queued = static_cast<size_t>(FLAGS_max_queued);
  settings->reconnect_min_seconds = FLAGS_reconnect_min_seconds;
  settings->reconnect_max_seconds = FLAGS_reconnect_max_seconds;
  return true;
}

// "[name=]host:port[/streaming_port]"; the name (default "host:port") is the
// process's topic level and metric label. The streaming port is not used.
bool ParseProcess(const std::string& text, kestu_tools::ProcessAddress* address,
                  std::string* error) {
  const size_t equals = text.find('=');
  const std::string name =
      equals == std::string::npos ? "" : text.substr(0, equals);
  const std::string rest =
      equals == std::string::npos ? text : text.substr(equals + 1);
  if (!kestu_tools::ParseProcessAddress(rest, address, error)) return false;
  if (equals != std::string::npos) address->name = name;
  if (!kestu_tools::MqttTopics::ValidLevel(address->name)) {
    *error = "--process name \"" + address->name +
             "\" cannot be a topic level (empty, or has '/', '+' or '#')";
    return false;
  }
  address->streaming_port = 0;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-mqtt --process [name=]host:port [--process ...] "
      "--broker host:port [--topic_prefix kestu] [--username U "
      "--password_file F] [--cafile ca.pem] [--state_file F]");
  std::vector<std::string> arguments =
      kestu_tools::TakeProcessArguments(&argc, argv);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  if (arguments.empty()) arguments.push_back("127.0.0.1:60000");

  std::string error;
  kestu_tools::BrokerSettings settings;
  if (!Settings(&settings, &error)) {
    MqttLog(error);
    return 1;
  }
  kestu_tools::LocalZone zone;
  if (!zone.Load(FLAGS_time_zone, &error)) {
    MqttLog(error);
    return 1;
  }
  std::vector<kestu_tools::ProcessAddress> addresses;
  std::set<std::string> names;
  for (const std::string& text : arguments) {
    kestu_tools::ProcessAddress address;
    if (!ParseProcess(text, &address, &error)) {
      MqttLog(error);
      return 1;
    }
    if (names.insert(address.name).second) addresses.push_back(address);
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // for every thread

  const kestu_tools::MqttTopics topics(FLAGS_topic_prefix);
  kestu_tools::MqttBridge bridge(topics, settings, zone,
                                 FLAGS_discovery_prefix);
  if (!FLAGS_state_file.empty() &&
      !bridge.UseStateFile(FLAGS_state_file, &error)) {
    MqttLog(error);
    return 1;
  }
  for (const auto& address : addresses) {
    if (!bridge.Connect(address.name, addresses.size() > 1, &error)) {
      MqttLog(error);
      return 1;
    }
  }
  kestu_tools::MetricsServer metrics([&bridge] { return bridge.Metrics(); });
  if (FLAGS_metrics_port > 0 &&
      !metrics.Start(FLAGS_metrics_host, FLAGS_metrics_port, &error)) {
    MqttLog(error);
    return 1;
  }
  std::vector<std::unique_ptr<kestu_tools::ProcessLink>> links;
  for (const auto& address : addresses) {
    links.push_back(
        std::make_unique<kestu_tools::ProcessLink>(&bridge, address));
    links.back()->Start();
  }
  MqttLog("publishing " + std::to_string(links.size()) + " process" +
          (links.size() == 1 ? "" : "es") + " to broker " + settings.Address() +
          " under " + topics.prefix() + "/, local time in " + zone.name() +
          (FLAGS_discovery_prefix.empty()
               ? ""
               : ", discovery under " + FLAGS_discovery_prefix + "/"));

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  MqttLog("stopping");
  for (auto& link : links) link->Stop();
  bridge.Stop(kDrainOnStop);
  metrics.Stop();
  return 0;
}
