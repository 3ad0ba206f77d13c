// MqttTopics: the topics kestu-mqtt publishes to, under a prefix.
//
//   <prefix>/<process>/<driver>/event                       one JSON per event
//   <prefix>/<process>/<driver>/zone/<zone>/<direction>/count  retained total
//   <prefix>/<process>/<driver>/zone/<zone>/<direction>/today  retained total
//   <prefix>/<process>/<driver>/zone/<zone>/<direction>/totals retained JSON
//   <prefix>/<process>/<driver>/status                      one JSON per status
//   <prefix>/<process>/<driver>/camera          retained JSON of the camera
//   <prefix>/<process>/availability                 retained "online"/"offline"
//
// What the zone totals count (<direction> is FORWARD or BACKWARD, the
// direction itself, also where the zone names it "in" or "out"):
//  - count: the zone's exits in that direction since the line was created,
//    as far as kestu-mqtt can know: with --state_file, of a process with an
//    event journal, the journal's total (every exit since the zone's first
//    in the journal), carried on; otherwise since kestu-mqtt started. The
//    number as text ("340").
//  - today: the exits since local midnight in --time_zone, "0" again at
//    every midnight (kept across a restart with --state_file). The number
//    as text ("12").
//  - totals: both, saying since when, in local time:
//      {"count":340,"count_since":"2027-03-01T08:12:03+01:00",
//       "today":12,"today_since":"2027-03-28T00:00:00+01:00",
//       "time_zone":"Europe/Berlin","zone":"Walkway","direction":"FORWARD",
//       "direction_name":"in"}
//    count_since is when kestu-mqtt started, or, for a journal's count, the
//    time of the zone's first exit in it; null where the count came from a
//    journal's totals whose first exit kestu-mqtt did not see.
// A zone that its driver's configuration no longer has loses these topics
// (empty retained payloads), and its discovery configurations with them.
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
  std::string Today(const std::string& process, const std::string& driver,
                    const std::string& zone,
                    const std::string& direction) const;
  std::string Totals(const std::string& process, const std::string& driver,
                     const std::string& zone,
                     const std::string& direction) const;
  std::string Availability(const std::string& process) const;
  const std::string& prefix() const { return prefix_; }

 private:
  std::string prefix_;  // without a trailing '/'
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_TOPICS_H_
