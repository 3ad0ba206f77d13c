// MqttDiscovery: the retained configuration messages by which a home
// automation system that follows the MQTT discovery convention finds
// kestu-mqtt's values by itself (--discovery_prefix, default
// "homeassistant"):
//
//   <discovery prefix>/sensor/<node>/<driver>_<zone>_<direction>_today/config
//       today's total of a counting line in one direction (state_class
//       "total_increasing": it falls to 0 at local midnight, a new cycle),
//       with the line's totals JSON as its attributes;
//   <discovery prefix>/binary_sensor/<node>/<driver>_camera/config
//       whether the driver's camera is connected (device_class
//       "connectivity", from the retained camera JSON).
//
// <node> is "kestu_" and the process's name; every entity has the
// process's availability topic and belongs to one device per process and
// driver. Ids keep letters, digits, '_' and '-'; other characters become
// '_', and a name so changed gets a hash of itself appended, so that "Back
// door" and "Back_door" stay two entities. An empty payload on the same
// topic removes the entity.
//
// Example payload (one line on the wire):
//   {"name":"Walkway in today",
//    "unique_id":"kestu_127_0_0_1_60000_crowd_Walkway_FORWARD_today",
//    "state_topic":"kestu/127.0.0.1:60000/crowd/zone/Walkway/FORWARD/today",
//    "json_attributes_topic":".../Walkway/FORWARD/totals",
//    "availability_topic":"kestu/127.0.0.1:60000/availability",
//    "payload_available":"online","payload_not_available":"offline",
//    "state_class":"total_increasing","icon":"mdi:counter",
//    "device":{"identifiers":["kestu_127_0_0_1_60000_crowd"],
//              "name":"kestu-vision 127.0.0.1:60000 crowd",
//              "model":"crowd driver"}}
#ifndef TOOLS_MQTT_MQTT_DISCOVERY_H_
#define TOOLS_MQTT_MQTT_DISCOVERY_H_

#include <string>

#include "tools/mqtt/mqtt_topics.h"

namespace kestu_tools {

class MqttDiscovery {
 public:
  // Requires: `prefix` not empty; `topics` outlives this.
  MqttDiscovery(const std::string& prefix, const MqttTopics* topics);

  // A prefix usable for discovery: no wildcards, no empty level.
  static bool ValidPrefix(const std::string& prefix, std::string* error);
  // Text made into an id (see above).
  static std::string Id(const std::string& text);

  // Today's total of a line in a direction ("FORWARD"); the entity is named
  // after the zone and the direction's name, else the direction.
  std::string LineTopic(const std::string& process, const std::string& driver,
                        const std::string& zone,
                        const std::string& direction) const;
  std::string LineConfig(const std::string& process, const std::string& driver,
                         const std::string& zone, const std::string& direction,
                         const std::string& direction_name) const;
  std::string CameraTopic(const std::string& process,
                          const std::string& driver) const;
  std::string CameraConfig(const std::string& process,
                           const std::string& driver) const;

 private:
  static std::string Node(const std::string& process);

  const std::string prefix_;
  const MqttTopics* const topics_;
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_MQTT_DISCOVERY_H_
