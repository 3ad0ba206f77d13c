// Helpers of the kestu-web tests that run the crowd driver: the crowd
// sample on an excerpt of the people clip, and commands posted to the page's
// endpoint as the page posts them.
#ifndef TESTS_TOOLS_WEB_CROWD_UTIL_H_
#define TESTS_TOOLS_WEB_CROWD_UTIL_H_

#include <string>

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"

namespace kestu_tools {

// The crowd sample on frames 0-279 of the people clip (six people cross
// the walkway line).
inline DriverConfig CrowdConfig(const std::string& uuid) {
  const std::string clip =
      vostek_kestu::Excerpt(vostek_kestu::kPeopleClip, 0, 279, "web-walkway");
  EXPECT_FALSE(clip.empty()) << vostek_kestu::kPeopleClip;
  DriverConfig config =
      vostek_kestu::SampleConfig("crowd_walkway.textproto", clip);
  config.set_uuid(uuid);
  return config;
}

inline std::string Text(const DriverConfig& config) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(config, &text);
  return text;
}

inline std::string CrowdConfigText(const std::string& uuid) {
  return Text(CrowdConfig(uuid));
}

// A WebCommand for the crowd driver: `field` "action" or "config".
inline std::string CommandJson(const std::string& process,
                               const std::string& field,
                               const std::string& value) {
  kestu::tools::WebCommand command;
  command.set_process(process);
  command.set_driver("crowd");
  if (field == "action") {
    command.set_action(value);
  } else {
    command.set_config(value);
  }
  std::string json;
  google::protobuf::util::MessageToJsonString(command, &json);
  return json;
}

inline kestu::tools::WebCommandAnswer Command(httplib::Client& client,
                                              const std::string& json) {
  kestu::tools::WebCommandAnswer answer;
  const auto response = client.Post("/api/command", json, "application/json");
  if (response) {
    (void)google::protobuf::util::JsonStringToMessage(response->body, &answer);
  }
  return answer;
}

// The crowd driver said STOPPED (its clip ended).
inline bool CrowdStopped(httplib::Client& client) {
  const auto state = GetState(client);
  if (state.processes_size() == 0) return false;
  const auto& crowd = state.processes(0).drivers(2);
  return crowd.last_status().type() == Status::STOPPED;
}

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_WEB_CROWD_UTIL_H_
