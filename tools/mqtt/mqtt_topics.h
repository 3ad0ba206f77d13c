// MqttTopics: the topics kestu-mqtt publishes to, under a prefix.
//
//   <prefix>/<process>/<driver>/event                       one JSON per event
//   <prefix>/<process>/<driver>/zone/<zone>/<direction>/count  retained total
//   <prefix>/<process>/<driver>/status                      one JSON per status
//   <prefix>/<process>/<driver>/camera          retained JSON of the camera
//   <prefix>/<process>/availability                 retained "online"/"offline"
//
// With the prefix "kestu" and the process "127.0.0.1:60000":
// "kestu/127.0.0.1:60000/crowd/zone/Walkway/FORWARD/count".
//
// A zone name is free text from a configuration: within its level, '/',
// '+', '#' and control characters become '_', and an empty name is "_".
#ifndef TOOLS_MQTT_MQTT_TOPICS_H_
#define TOOLS_MQTT_MQTT_TOPICS_H_

#include <string>

namespace kestu_tools {

class MqttTopics {
 public:
  // Requires: ValidPrefix(prefix).
  explicit MqttTopics(const std::string& prefix);

  // A prefix of one or more levels without wildcards and without empty
  // levels ("kestu", "site/north/kestu"); a trailing '/' is dropped.
  static bool ValidPrefix(const std::string& prefix, std::string* error);
  // A process name usable as one level (no '/', '+', '#', not empty).
  static bool ValidLevel(const std::string& level);
  // Free text made into one topic level.
  static std::string Level(const std::string& text);

  std::string Event(const std::string& process,
                    const std::string& driver) const;
  std::string Status(const std::string& process,
                     const std::string& driver) const;
  std::string Camera(const std::string& process,
                     const std::string& driver) const;
  std::string Count(const std::string& process, const std::string& driver,
                    const std::string& zone,
                    const std::string& direction) const;
  std::string Availability(const std::string& process) const;
  const std::string& prefix() const { return prefix_; }

 private:
  std::string prefix_;  // without a trailing '/'
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_TOPICS_H_
