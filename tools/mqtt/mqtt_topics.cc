#include "tools/mqtt/mqtt_topics.h"

namespace kestu_tools {
namespace {

bool Forbidden(char c) {
  return c == '/' || c == '+' || c == '#' ||
         static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

std::string WithoutTrailingSlash(const std::string& prefix) {
  return !prefix.empty() && prefix.back() == '/'
             ? prefix.substr(0, prefix.size() - 1)
             : prefix;
}

}  // namespace

MqttTopics::MqttTopics(const std::string& prefix)
    : prefix_(WithoutTrailingSlash(prefix)) {}

bool MqttTopics::ValidPrefix(const std::string& prefix, std::string* error) {
  const std::string trimmed = WithoutTrailingSlash(prefix);
  size_t start = 0;
  while (true) {
    const size_t slash = trimmed.find('/', start);
    const std::string level = trimmed.substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!ValidLevel(level)) {
      *error = "--topic_prefix \"" + prefix +
               "\" has an empty level or a wildcard ('+', '#')";
      return false;
    }
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

bool MqttTopics::ValidLevel(const std::string& level) {
  if (level.empty()) return false;
  for (char c : level) {
    if (Forbidden(c)) return false;
  }
  return true;
}

std::string MqttTopics::Level(const std::string& text) {
  if (text.empty()) return "_";
  std::string level = text;
  for (char& c : level) {
    if (Forbidden(c)) c = '_';
  }
  return level;
}

std::string MqttTopics::Event(const std::string& process,
                              const std::string& driver) const {
  return prefix_ + "/" + process + "/" + driver + "/event";
}

std::string MqttTopics::Status(const std::string& process,
                               const std::string& driver) const {
  return prefix_ + "/" + process + "/" + driver + "/status";
}

std::string MqttTopics::Camera(const std::string& process,
                               const std::string& driver) const {
  return prefix_ + "/" + process + "/" + driver + "/camera";
}

std::string MqttTopics::Count(const std::string& process,
                              const std::string& driver,
                              const std::string& zone,
                              const std::string& direction) const {
  return prefix_ + "/" + process + "/" + driver + "/zone/" + Level(zone) + "/" +
         direction + "/count";
}

std::string MqttTopics::Today(const std::string& process,
                              const std::string& driver,
                              const std::string& zone,
                              const std::string& direction) const {
  return prefix_ + "/" + process + "/" + driver + "/zone/" + Level(zone) + "/" +
         direction + "/today";
}

std::string MqttTopics::Totals(const std::string& process,
                               const std::string& driver,
                               const std::string& zone,
                               const std::string& direction) const {
  return prefix_ + "/" + process + "/" + driver + "/zone/" + Level(zone) + "/" +
         direction + "/totals";
}

std::string MqttTopics::Availability(const std::string& process) const {
  return prefix_ + "/" + process + "/availability";
}

}  // namespace kestu_tools
