// BrokerSettings: how kestu-mqtt reaches its MQTT broker, and the checks of
// the flags that give them.
#ifndef TOOLS_MQTT_BROKER_SETTINGS_H_
#define TOOLS_MQTT_BROKER_SETTINGS_H_

#include <cstddef>
#include <string>

namespace kestu_tools {

struct BrokerSettings {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string client_id;
  std::string username;  // empty: none
  std::string password;  // read from the password file, never a flag
  std::string cafile;    // empty: plain TCP
  int keepalive_seconds = 30;
  // Reconnection delays: the first, doubled after every failed attempt up
  // to the longest.
  int reconnect_min_seconds = 1;
  int reconnect_max_seconds = 30;
  size_t max_queued = 10000;

  // "host:port", for log lines.
  std::string Address() const;
};

// "host:port", "host" (port 1883) or "[v6 address]:port".
bool ParseBrokerAddress(const std::string& text, std::string* host, int* port,
                        std::string* error);

// The password: the file's first line without its line end. False, with the
// reason, when the file cannot be read or its first line is empty.
bool ReadPasswordFile(const std::string& path, std::string* password,
                      std::string* error);

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_BROKER_SETTINGS_H_
