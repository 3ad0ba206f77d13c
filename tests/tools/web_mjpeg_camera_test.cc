// An HTTP Motion-JPEG camera: kestu-web's stream of one driver is the
// camera of another driver of the same process.
#include <string>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/tools/web_crowd_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"

namespace kestu_tools {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

constexpr int kVehicleOffset = 5;

std::string DriverCommand(const std::string& process, const std::string& driver,
                          const DriverConfig& config) {
  kestu::tools::WebCommand command;
  command.set_process(process);
  command.set_driver(driver);
  command.set_config(Text(config));
  std::string json;
  google::protobuf::util::MessageToJsonString(command, &json);
  return json;
}

void Reconnecting(DriverConfig* config) {
  (*config->mutable_kestu_eye_config()
        ->mutable_config()
        ->mutable_properties())["enable_source_reconnection"]
      .set_boolean_value(true);
}

TEST(MjpegCameraTest, AnotherDriversStreamIsACamera) {
  const int base = PortBlock(330);
  VisionProcess process(base);
  WebProcess web(PortBlock(331), {Address(base)});
  ASSERT_TRUE(process.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);
  ASSERT_TRUE(PollUntil(
      [&] { return GetState(client).processes(0).reachable(); }, kWait));

  // The crowd driver reads the people clip over and over, and streams it.
  auto answer =
      Command(client, CommandJson(Address(base), "action", "START_STREAMING"));
  ASSERT_EQ(answer.status().type(), Status::COMMAND_EXECUTED) << answer.error();
  DriverConfig crowd = CrowdConfig("walkway");
  Reconnecting(&crowd);
  answer = Command(client, DriverCommand(Address(base), "crowd", crowd));
  ASSERT_EQ(answer.status().type(), Status::CONFIG_RECEIVED) << answer.error();

  // The vehicle driver's camera is that stream, read over HTTP.
  const std::string url = "http://127.0.0.1:" + std::to_string(web.port()) +
                          "/stream/" + Address(base) + "/crowd.mjpg";
  DriverConfig vehicle =
      vostek_kestu::SampleConfig("vehicle_motorway.textproto", url);
  Reconnecting(&vehicle);
  answer = Command(client, DriverCommand(Address(base), "vehicle", vehicle));
  ASSERT_EQ(answer.status().type(), Status::CONFIG_RECEIVED) << answer.error();

  zmq::context_t context(1);
  auto vehicle_camera = [&] {
    auto info = QueryDriverInfo(context, "127.0.0.1", base, Millis(2000));
    ::talvenrook::kestu::v1::driver::CameraState camera;
    if (!info) return camera;
    for (const auto& driver : info->info()) {
      if (driver.base_port() == base + kVehicleOffset) camera = driver.camera();
    }
    return camera;
  };
  int64_t first_frame = 0;
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto camera = vehicle_camera();
        first_frame = camera.last_frame_ms();
        return camera.connected() && first_frame > 0;
      },
      kWait, Millis(100)))
      << vehicle_camera().DebugString();
  // Frames keep coming from the stream.
  EXPECT_TRUE(PollUntil(
      [&] { return vehicle_camera().last_frame_ms() > first_frame + 500; },
      kWait, Millis(100)));
}

}  // namespace
}  // namespace kestu_tools
