// Small helpers shared by kestu-web's parts: protobuf's JSON mapping both
// ways and the calendar clock in seconds.
#ifndef TOOLS_WEB_WEB_UTIL_H_
#define TOOLS_WEB_WEB_UTIL_H_

#include <chrono>
#include <string>

#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>

namespace kestu_tools {

inline std::string Json(const google::protobuf::Message& message,
                        bool all_fields = false) {
  google::protobuf::util::JsonPrintOptions options;
  options.always_print_primitive_fields = all_fields;
  std::string json;
  google::protobuf::util::MessageToJsonString(message, &json, options);
  return json;
}

inline bool ParseJson(const std::string& json,
                      google::protobuf::Message* message) {
  return google::protobuf::util::JsonStringToMessage(json, message).ok();
}

// Seconds since the Unix epoch.
inline double EpochSeconds() {
  return std::chrono::duration<double>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_UTIL_H_
