// kestu-mqtt's log lines: "kestu-mqtt: <text>" on standard error, one
// whole line per call so that threads never mix their lines.
#ifndef TOOLS_MQTT_MQTT_LOG_H_
#define TOOLS_MQTT_MQTT_LOG_H_

#include <iostream>
#include <string>

namespace kestu_tools {

inline void MqttLog(const std::string& text) {
  std::cerr << ("kestu-mqtt: " + text + "\n") << std::flush;
}

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_LOG_H_
