// The driver's life around its source: network streams that die and come
// back, the end of a record run, the watchdog, the window, and frames scaled
// and rotated before detection.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "src/driver/driver.h"
#include "tests/src/driver/driver_fixture.h"

namespace vostek_kestu {
namespace {

using kestu_testing::ChildProcess;

constexpr char kFfmpeg[] = "/usr/bin/ffmpeg";

// Serves the test clip in a loop as an MPEG-TS stream on a TCP port, to the
// first client that connects.
std::unique_ptr<ChildProcess> ServeStream(int port) {
  return std::make_unique<ChildProcess>(
      kFfmpeg,
      std::vector<std::string>{
          "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
          ClipPath(), "-c:v", "mpeg2video", "-g", "5", "-f", "mpegts",
          "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1"});
}

// True when a socket listens on the port. The server takes one client only,
// so readiness is read from the kernel's table rather than by connecting.
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char local[16];
  std::snprintf(local, sizeof(local), ":%04X ", port);
  while (std::getline(table, line)) {
    // Columns: sl local_address rem_address st ...; state 0A is LISTEN.
    std::istringstream fields(line);
    std::string sl, address, remote, state;
    fields >> sl >> address >> remote >> state;
    if (state == "0A" && (address + " ").find(local) != std::string::npos) {
      return true;
    }
  }
  return false;
}

int CountStatuses(const std::vector<Status>& seen, Status::MessageType type) {
  return static_cast<int>(
      std::count_if(seen.begin(), seen.end(),
                    [&](const Status& s) { return s.type() == type; }));
}

TEST_F(DriverTest, DeadStreamIsReportedOnceAndReconnects) {
  struct stat st;
  if (stat(kFfmpeg, &st) != 0) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_NO_FATAL_FAILURE(Start(70));
  const int stream_port = base_ + 16;
  auto server = ServeStream(stream_port);
  ASSERT_TRUE(PollUntil([&] { return Listening(stream_port); }, kWait));
  const std::string url = "tcp://127.0.0.1:" + std::to_string(stream_port);
  Send(WithConfig("cfg", Prop("pipeline_mode", Str("ok")) +
                             Prop("source", Str(url)) +
                             Prop("testing_mode", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CAMERA_CONNECTED));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));

  EXPECT_TRUE(driver_->skip_frames());  // a URL reads through the buffer
  ASSERT_TRUE(NextResult());

  server->Kill();
  ASSERT_TRUE(WaitStatus(Status::CAMERA_DISCONNECTED));
  // While it stays down, reconnection attempts report nothing more.
  const size_t seen_before = seen_.size();
  EXPECT_FALSE(
      WaitStatus(Status::CAMERA_DISCONNECTED, "*", milliseconds(2500)));
  EXPECT_EQ(CountStatuses(
                std::vector<Status>(seen_.begin() + seen_before, seen_.end()),
                Status::CAMERA_DISCONNECTED),
            0);

  // The stream comes back: the driver reconnects and frames flow again.
  server = ServeStream(stream_port);
  ASSERT_TRUE(PollUntil([&] { return Listening(stream_port); }, kWait));
  ASSERT_TRUE(WaitStatus(Status::CAMERA_CONNECTED));
  EXPECT_TRUE(NextResult());
}

TEST_F(DriverTest, ScalesAndRotatesFramesBeforeDetection) {
  ASSERT_NO_FATAL_FAILURE(Start(71));
  // The clip is 320x240 and a file cannot change its size: forcing 1280x720
  // with the aspect kept scales to 960x720, then rotation turns it upright.
  Send(ClipConfig(
      "cfg", Prop("testing_mode", Bool(true)) +
                 Prop("resolution", "size_value { width: 1280 height: 720 }") +
                 Prop("force_resolution", Bool(true)) +
                 Prop("camera_rotation", Int(-90))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  EXPECT_EQ(driver_->target_resolution(), cv::Size(960, 720));
  auto result = NextResult();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->rect_detection(0).location().width(), 720);
  EXPECT_EQ(result->rect_detection(0).location().height(), 960);
}

TEST_F(DriverTest, SourceAlreadyAtTheTargetNeedsNoScaling) {
  ASSERT_NO_FATAL_FAILURE(Start(72));
  Send(ClipConfig(
      "cfg", Prop("testing_mode", Bool(true)) +
                 Prop("resolution", "size_value { width: 320 height: 240 }") +
                 Prop("force_resolution", Bool(true)) +
                 Prop("camera_rotation", Int(45))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  EXPECT_FALSE(driver_->force_resolution());
  auto result = NextResult();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->rect_detection(0).location().width(), 320);
}

TEST_F(DriverTest, UnreachableSourceReportsDisconnectedOnce) {
  ASSERT_NO_FATAL_FAILURE(Start(73));
  const std::string missing = "/nonexistent/clip.avi";
  Send(WithConfig(
      "one", Prop("pipeline_mode", Str("ok")) + Prop("source", Str(missing))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "one"));
  Send("uuid: 'start' kestu_eye_config { action: START_DETECTION }");
  auto error = WaitStatus(Status::STATUS_ERROR, "start");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message(), "Could not start camera!");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "start"));
  EXPECT_EQ(CountStatuses(seen_, Status::CAMERA_DISCONNECTED), 1);
  // A reachable source connects and re-arms the report.
  Send(ClipConfig("two", ""));
  ASSERT_TRUE(WaitStatus(Status::CAMERA_CONNECTED));
}

TEST_F(DriverTest, StopAndStartDetection) {
  ASSERT_NO_FATAL_FAILURE(Start(74));
  Send(ClipConfig("cfg", Prop("testing_mode", Bool(true)) +
                             Prop("max_fps", Int(20)) +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  ASSERT_TRUE(NextResult());
  Send("uuid: 'stop' kestu_eye_config { action: STOP_DETECTION }");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "stop"));
  while (NextResult(milliseconds(300))) {
  }
  EXPECT_FALSE(NextResult(milliseconds(1500)));
  EXPECT_TRUE(driver_->detection_stopped());
  Send("uuid: 'go' kestu_eye_config { action: START_DETECTION }");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "go"));
  EXPECT_TRUE(NextResult());
}

// Shows the window under a virtual display, or without any display, where
// the window is given up and processing goes on.
class WindowTest : public DriverTest,
                   public ::testing::WithParamInterface<bool> {};

TEST_P(WindowTest, ShowGuiNeverStopsProcessing) {
  const bool virtual_display = GetParam();
  std::unique_ptr<ChildProcess> xvfb;
  const std::string saved = getenv("DISPLAY") ? getenv("DISPLAY") : "";
  if (virtual_display) {
    struct stat st;
    if (stat("/usr/bin/Xvfb", &st) != 0)
      GTEST_SKIP() << "Xvfb is not installed";
    const std::string display = ":" + std::to_string(PortBlock(78) % 1000);
    xvfb = std::make_unique<ChildProcess>(
        "/usr/bin/Xvfb", std::vector<std::string>{display, "-nolisten", "tcp"});
    const std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
    ASSERT_TRUE(
        PollUntil([&] { return stat(socket.c_str(), &st) == 0; }, kWait));
    setenv("DISPLAY", display.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  ASSERT_NO_FATAL_FAILURE(Start(virtual_display ? 79 : 75));
  Send(ClipConfig(
      "cfg", Prop("testing_mode", Bool(true)) + Prop("show_gui", Bool(true)) +
                 Prop("show_fps", Bool(true)) + Prop("max_fps", Int(50))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  int results = 0;
  while (NextResult(milliseconds(3000))) ++results;
  EXPECT_EQ(results, kClipFrames);
  EXPECT_EQ(driver_->window_usable(), virtual_display);
  driver_.reset();
  if (saved.empty())
    unsetenv("DISPLAY");
  else
    setenv("DISPLAY", saved.c_str(), 1);
}

INSTANTIATE_TEST_SUITE_P(Displays, WindowTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Xvfb" : "NoDisplay";
                         });

TEST_F(DriverTest, RecordingOnRequestReportsAPlayableVideo) {
  ASSERT_NO_FATAL_FAILURE(Start(80));
  const std::string path =
      "/tmp/kestu-recording-test-" + std::to_string(base_) + ".avi";
  std::remove(path.c_str());
  Send(ClipConfig("cfg", Prop("testing_mode", Bool(true)) +
                             Prop("max_fps", Int(25)) +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  // Two seconds at 10 fps, analytics suspended while the file is written.
  Send(SuspendingRecordingRequest("rec", path));
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "rec"));
  auto ready = WaitStatus(Status::VIDEO_READY);
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->message(), path);
  cv::VideoCapture video(path);
  ASSERT_TRUE(video.isOpened());
  int frames = 0;
  cv::Mat frame;
  while (video.read(frame)) {
    EXPECT_EQ(frame.size(), kClipSize);
    ++frames;
  }
  EXPECT_EQ(frames, 20);
  // Results published while the recording ran carry no detections.
  bool suspended = false;
  for (int i = 0; i < 200 && !suspended; ++i) {
    auto result = NextResult(milliseconds(200));
    if (!result) break;
    suspended = result->rect_detection_size() == 0;
  }
  EXPECT_TRUE(suspended);
  std::remove(path.c_str());
}

using DriverDeathTest = DriverTest;

TEST_F(DriverDeathTest, RecordRunExitsWithStatusZeroAtTheEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death test runs in a re-executed child: the path must not depend on
  // the process.
  const std::string record =
      "/tmp/kestu-record-test-" + std::to_string(PortBlock(76)) + ".pb";
  std::remove(record.c_str());
  EXPECT_EXIT(
      {
        FLAGS_record_detections_file = record;
        Start(76);
        Send(ClipConfig("cfg", Prop("max_fps", Int(100))));
        std::this_thread::sleep_for(std::chrono::seconds(60));
      },
      ::testing::ExitedWithCode(0), "");
  // The run kept one result per frame, with the uuids cleared.
  VisionResultList list;
  std::ifstream in(record, std::ios::binary);
  ASSERT_TRUE(list.ParseFromIstream(&in));
  EXPECT_EQ(list.vision_results_size(), kClipFrames);
  for (const auto& result : list.vision_results()) {
    EXPECT_EQ(result.uuid(), "");
    EXPECT_EQ(result.rect_detection(0).uuid(), "");
  }
  std::remove(record.c_str());
}

TEST_F(DriverDeathTest, WatchdogEndsAHungDetection) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        FLAGS_detection_timeout = 1;
        Start(77);
        Send(ClipConfig("cfg", Prop("hang_ms", Int(60000))));
        std::this_thread::sleep_for(std::chrono::seconds(60));
      },
      "Detection task is unresponsive. Closing application");
}

}  // namespace
}  // namespace vostek_kestu
