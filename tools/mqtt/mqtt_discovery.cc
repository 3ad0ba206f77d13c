#include "tools/mqtt/mqtt_discovery.h"

#include <cstdint>
#include <cstdio>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

namespace kestu_tools {
namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

bool IdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// FNV-1a, 32 bits, as 8 hexadecimal digits.
std::string Hash(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  char hex[9];
  std::snprintf(hex, sizeof(hex), "%08x", hash);
  return hex;
}

Value Text(const std::string& text) {
  Value value;
  value.set_string_value(text);
  return value;
}

std::string Json(const Struct& config) {
  std::string json;
  google::protobuf::util::MessageToJsonString(config, &json);
  return json;
}

// The device of a process's driver, which the entity belongs to.
void AddDevice(const std::string& process, const std::string& driver,
               const std::string& node, Struct* config) {
  Struct device;
  Value identifiers;
  *identifiers.mutable_list_value()->add_values() =
      Text(node + "_" + MqttDiscovery::Id(driver));
  (*device.mutable_fields())["identifiers"] = identifiers;
  (*device.mutable_fields())["name"] =
      Text("kestu-vision " + process + " " + driver);
  (*device.mutable_fields())["model"] = Text(driver + " driver");
  *(*config->mutable_fields())["device"].mutable_struct_value() = device;
}

}  // namespace

MqttDiscovery::MqttDiscovery(const std::string& prefix,
                             const MqttTopics* topics)
    : prefix_(prefix.back() == '/' ? prefix.substr(0, prefix.size() - 1)
                                   : prefix),
      topics_(topics) {}

bool MqttDiscovery::ValidPrefix(const std::string& prefix, std::string* error) {
  if (!MqttTopics::ValidPrefix(prefix, error)) {
    *error = "--discovery_prefix \"" + prefix +
             "\" has an empty level or a wildcard ('+', '#')";
    return false;
  }
  return true;
}

std::string MqttDiscovery::Id(const std::string& text) {
  std::string id = text.empty() ? "_" : text;
  bool changed = text.empty();
  for (char& c : id) {
    if (!IdCharacter(c)) {
      c = '_';
      changed = true;
    }
  }
  return changed ? id + "_" + Hash(text) : id;
}

std::string MqttDiscovery::Node(const std::string& process) {
  // Host names and ports: "127.0.0.1:60000" is "kestu_127_0_0_1_60000".
  std::string plain = process;
  for (char& c : plain) {
    if (c == ':' || c == '.') c = '_';
  }
  return "kestu_" + Id(plain);
}

std::string MqttDiscovery::LineTopic(const std::string& process,
                                     const std::string& driver,
                                     const std::string& zone,
                                     const std::string& direction) const {
  return prefix_ + "/sensor/" + Node(process) + "/" + Id(driver) + "_" +
         Id(zone) + "_" + Id(direction) + "_today/config";
}

std::string MqttDiscovery::LineConfig(const std::string& process,
                                      const std::string& driver,
                                      const std::string& zone,
                                      const std::string& direction,
                                      const std::string& direction_name) const {
  Struct config;
  auto& fields = *config.mutable_fields();
  const std::string node = Node(process);
  AddDevice(process, driver, node, &config);
  std::string shown = direction_name;
  if (shown.empty()) shown = direction == "FORWARD" ? "forward" : "backward";
  fields["name"] = Text((zone.empty() ? "_" : zone) + " " + shown + " today");
  fields["unique_id"] = Text(node + "_" + Id(driver) + "_" + Id(zone) + "_" +
                             Id(direction) + "_today");
  fields["state_topic"] =
      Text(topics_->Today(process, driver, zone, direction));
  fields["json_attributes_topic"] =
      Text(topics_->Totals(process, driver, zone, direction));
  fields["availability_topic"] = Text(topics_->Availability(process));
  fields["payload_available"] = Text("online");
  fields["payload_not_available"] = Text("offline");
  fields["state_class"] = Text("total_increasing");
  fields["icon"] = Text("mdi:counter");
  return Json(config);
}

std::string MqttDiscovery::CameraTopic(const std::string& process,
                                       const std::string& driver) const {
  return prefix_ + "/binary_sensor/" + Node(process) + "/" + Id(driver) +
         "_camera/config";
}

std::string MqttDiscovery::CameraConfig(const std::string& process,
                                        const std::string& driver) const {
  Struct config;
  auto& fields = *config.mutable_fields();
  const std::string node = Node(process);
  AddDevice(process, driver, node, &config);
  fields["name"] = Text(driver + " camera");
  fields["unique_id"] = Text(node + "_" + Id(driver) + "_camera");
  fields["state_topic"] = Text(topics_->Camera(process, driver));
  fields["value_template"] = Text("{{ value_json.state }}");
  fields["payload_on"] = Text("connected");
  fields["payload_off"] = Text("disconnected");
  fields["device_class"] = Text("connectivity");
  fields["availability_topic"] = Text(topics_->Availability(process));
  fields["payload_available"] = Text("online");
  fields["payload_not_available"] = Text("offline");
  return Json(config);
}

}  // namespace kestu_tools
