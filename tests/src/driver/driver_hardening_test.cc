// The driver core against what an operator's worst day sends it: camera
// properties the capture library refuses, floods of recording requests and
// configurations, sources that never answer, and a stop signal in the middle
// of a recording.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "src/driver/driver.h"
#include "src/process/process_stop.h"
#include "src/process/stop_signals.h"
#include "tests/src/driver/driver_fixture.h"
#include "tests/src/driver/recording_test_util.h"

namespace vostek_kestu {
namespace {

using kestu_testing::StderrCapture;
using recording_testing::ReadVideo;
using recording_testing::ScratchDirectory;

std::string EntityValue(const std::string& properties) {
  return "entity_value { " + properties + " }";
}

std::string Command(const std::string& uuid, const std::string& action,
                    const std::string& data = "") {
  return "uuid: '" + uuid + "' kestu_eye_config { action: " + action +
         (data.empty() ? "" : " action_data { " + data + " }") + " }";
}

std::string RecordingCommand(const std::string& uuid,
                             const std::string& options) {
  return Command(uuid, "START_RECORDING",
                 Prop("recording_options", EntityValue(options)));
}

class CameraPropertyTest : public DriverTest,
                           public ::testing::WithParamInterface<bool> {};

TEST_P(CameraPropertyTest, RefusedPropertyIsDroppedAndTheRestGoesOn) {
  const bool threaded = GetParam();
  StderrCapture err;
  ASSERT_NO_FATAL_FAILURE(Start(threaded ? 263 : 264));
  // "backend" is read-only: the capture library throws on it.
  Send(ClipConfig(
      "cfg", Prop("skip_frames", Bool(threaded)) +
                 Prop("testing_mode", Bool(true)) + Prop("max_fps", Int(25)) +
                 Prop("camera_properties",
                      EntityValue(Prop("backend", Int(1900)) +
                                  Prop("brightness", "double_value: 0.5"))) +
                 Prop("show_fps", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CAMERA_CONNECTED));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  ASSERT_TRUE(NextResult());
  EXPECT_TRUE(
      err.Contains("WARNING: Camera property could not be set: backend\n"));
  // Keys after "source" were applied; the refused property is forgotten, a
  // property the file merely did not take stays for the next camera.
  EXPECT_EQ(driver_->max_fps(), 25);
  EXPECT_EQ(driver_->camera_properties().count("backend"), 0u);
  EXPECT_EQ(driver_->camera_properties().count("brightness"), 1u);

  // Later connections and commands are not poisoned.
  Send(Command("start", "START_DETECTION"));
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "start"));
  Send(Command(
      "set", "SET_CAMERA_CONFIG",
      Prop("camera_properties",
           EntityValue(Prop("backend", Int(2)) + Prop("pos_frames", Int(0))))));
  auto executed = WaitStatus(Status::COMMAND_EXECUTED, "set");
  ASSERT_TRUE(executed);
  EXPECT_EQ(executed->message(), "SET_CAMERA_CONFIG");
  for (const Status& status : seen_) {
    EXPECT_NE(status.type(), Status::STATUS_ERROR) << status.message();
  }
  EXPECT_TRUE(err.Contains("Camera pos_frames: 0"));
}

INSTANTIATE_TEST_SUITE_P(Gathers, CameraPropertyTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Threaded" : "Direct";
                         });

TEST_F(DriverTest,
       RecordingRequestsHoldNoDescriptorsAndTheSeventeenthIsRefused) {
  ScratchDirectory directory;
  ASSERT_NO_FATAL_FAILURE(Start(265));
  // A pipeline without frames: nothing will ever be due. The frame size of
  // the recordings comes from the target resolution.
  Send(WithConfig(
      "cfg", Prop("pipeline_mode", Str("ok")) +
                 Prop("resolution", "size_value { width: 320 height: 240 }") +
                 Prop("source", Str("/nonexistent/clip.avi"))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  const int before = kestu_testing::OpenDescriptorCount();
  // In batches of five, so that the answers stay within what the status
  // channel queues for a subscriber.
  for (int i = 0; i < 20; ++i) {
    Send(RecordingCommand(
        "rec" + std::to_string(i),
        Prop("filename", Str(directory.File(std::to_string(i)))) +
            Prop("duration", Int(10)) + Prop("fps", Int(10))));
    if (i % 5 == 4) {
      ASSERT_TRUE(
          WaitStatus(Status::COMMAND_EXECUTED, "rec" + std::to_string(i)));
    }
  }
  std::vector<std::string> refused;
  for (const Status& status : seen_) {
    if (status.type() != Status::STATUS_ERROR) continue;
    refused.push_back(status.uuid());
    EXPECT_EQ(status.message(),
              "Recording refused: 17 recordings would start now, at most 16");
  }
  EXPECT_EQ(refused,
            (std::vector<std::string>{"rec16", "rec17", "rec18", "rec19"}));
  EXPECT_EQ(driver_->recording_scheduler().PendingCount(), 16u);
  EXPECT_LE(kestu_testing::OpenDescriptorCount(), before + 2);
  EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
}

TEST_F(DriverTest, AbsurdSampleCountIsRefusedWithoutHoldingCommands) {
  ASSERT_NO_FATAL_FAILURE(Start(266));
  Send(ClipConfig("cfg", Prop("testing_mode", Bool(true)) +
                             Prop("max_fps", Int(25)) +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  ASSERT_TRUE(NextResult());
  const auto sent = std::chrono::steady_clock::now();
  Send(RecordingCommand(
      "rec",
      Prop("interleaved_options", EntityValue(Prop("samples", Int(2147483647)) +
                                              Prop("period", Int(1))))));
  Send(Command("version", "GET_VERSION"));
  auto version = WaitStatus(Status::COMMAND_EXECUTED, "version");
  const auto answered = std::chrono::steady_clock::now();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->message(), "2.9.1");
  EXPECT_LT(answered - sent, std::chrono::seconds(1));
  bool refused = false;
  for (const Status& status : seen_) {
    refused |= status.type() == Status::STATUS_ERROR &&
               status.uuid() == "rec" &&
               status.message() ==
                   "Recording refused: 2147483647 samples asked, at most 1000";
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(driver_->recording_scheduler().PendingCount(), 0u);
}

TEST_F(DriverTest, FullConfigurationQueueRefusesUnderTheMessageUuid) {
  ASSERT_NO_FATAL_FAILURE(Start(269));
  // Every frame takes 1.5 s, so that configurations pile up meanwhile.
  Send(ClipConfig("cfg", Prop("hang_ms", Int(1500)) +
                             Prop("testing_mode", Bool(true)) +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  ASSERT_TRUE(NextResult());
  size_t most_pending = 0;
  for (int i = 0; i < 100; ++i) {
    Send(Command("q" + std::to_string(i), "GET_VERSION"));
    most_pending = std::max(most_pending, driver_->PendingConfigurationCount());
  }
  auto full = WaitStatus(Status::STATUS_ERROR);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->message(), "Configuration queue is full");
  EXPECT_EQ(full->uuid().substr(0, 1), "q");
  EXPECT_LE(most_pending, Driver::kMaxPendingConfigurations);
  EXPECT_LE(driver_->PendingConfigurationCount(),
            Driver::kMaxPendingConfigurations);
  // Once the queue is worked through, messages are taken again.
  ASSERT_TRUE(PollUntil(
      [&] { return driver_->PendingConfigurationCount() == 0; }, kWait));
  Send(Command("after", "GET_VERSION"));
  EXPECT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "after"));
}

TEST_F(DriverTest, SourceThatNeverAnswersIsGivenUpWithoutHoldingTheDriver) {
  ASSERT_NO_FATAL_FAILURE(Start(267));
  // Nothing sends to this UDP port.
  const std::string url = "udp://127.0.0.1:" + std::to_string(base_ + 17);
  Send(WithConfig("cfg", Prop("pipeline_mode", Str("ok")) +
                             Prop("source", Str(url)) +
                             Prop("capture_open_timeout_ms", Int(2000)) +
                             Prop("enable_source_reconnection", Bool(false))));
  // The configuration is answered before the source's deadline passes;
  // then the source is given up, reported, and its end handled once.
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  const size_t answered = seen_.size();
  auto stuck = WaitStatus(Status::STATUS_ERROR);
  ASSERT_TRUE(stuck);
  EXPECT_NE(stuck->message().find(url + " did not answer while opening"),
            std::string::npos)
      << stuck->message();
  EXPECT_GT(seen_.size(), answered);
  EXPECT_TRUE(WaitStatus(Status::STOPPED));
  Send(WithConfig("version", Prop("pipeline_mode", Str("ok"))));
  EXPECT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "version"));
}

using DriverStopDeathTest = DriverTest;

TEST_F(DriverStopDeathTest, SigtermDuringARecordingLeavesAFileThatPlays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death test runs in a re-executed child: the paths must not depend
  // on the process.
  const std::string stem =
      "/tmp/kestu-stop-test-" + std::to_string(PortBlock(268));
  const std::string video = stem + ".avi";
  const std::string record = stem + ".pb";
  std::remove(video.c_str());
  std::remove(record.c_str());
  EXPECT_EXIT(
      {
        FLAGS_record_detections_file = record;
        ProcessStop stop;
        StopSignals signals([&stop](int) { stop.Request(); },
                            std::chrono::milliseconds(4500));
        Start(268);
        stop.Attach(driver_.get());
        Send(ClipConfig(
            "cfg", Prop("testing_mode", Bool(true)) + Prop("max_fps", Int(25)) +
                       Prop("enable_source_reconnection", Bool(true))));
        if (!WaitStatus(Status::CONFIG_RECEIVED, "cfg")) _exit(2);
        Send(RecordingCommand(
            "rec", Prop("filename", Str(video)) + Prop("codec", Str("MJPG")) +
                       Prop("duration", Int(60)) + Prop("fps", Int(10)) +
                       Prop("allow_processing", Bool(true))));
        const bool recording = PollUntil(
            [&] {
              const auto pending =
                  driver_->recording_scheduler().PendingRecordings();
              return !pending.empty() && pending[0].frames_written >= 5;
            },
            kWait);
        if (!recording) _exit(3);
        raise(SIGTERM);
        if (!PollUntil([&] { return stop.requested(); }, kWait)) _exit(4);
        stop.Finish();
        signals.MarkStopped();
        if (!WaitStatus(Status::VIDEO_READY, "*", milliseconds(2000))) _exit(5);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "Closing application...");
  const auto facts = ReadVideo(video);
  EXPECT_TRUE(facts.opened);
  EXPECT_GE(facts.frames, 5);
  VisionResultList list;
  std::ifstream in(record, std::ios::binary);
  ASSERT_TRUE(list.ParseFromIstream(&in));
  EXPECT_GE(list.vision_results_size(), 5);
  std::remove(video.c_str());
  std::remove(record.c_str());
}

}  // namespace
}  // namespace vostek_kestu
