// Driver over real sockets with real video files: configuration,
// commands, the frame loop, publishing, previews and streaming.
#include "src/driver/driver.h"

#include "tests/src/driver/driver_fixture.h"

namespace vostek_kestu {
namespace {

TEST_F(DriverTest, TestingModePublishesEveryFrameThenStopsAtTheEnd) {
  ASSERT_NO_FATAL_FAILURE(Start(50));
  Send(ClipConfig("cfg-1",
                  Prop("testing_mode", Bool(true)) + Prop("max_fps", Int(50))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg-1"));
  int results = 0;
  while (auto result = NextResult(milliseconds(3000))) {
    // Testing mode publishes the whole frame result, both detections.
    EXPECT_EQ(result->rect_detection_size(), 2);
    EXPECT_EQ(result->uuid(), "frame-uuid");
    EXPECT_EQ(result->rect_detection(0).location().width(), kClipSize.width);
    ++results;
  }
  EXPECT_EQ(results, kClipFrames);
  auto stopped = WaitStatus(Status::STOPPED);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->message(), "No more frames");
  auto testing = WaitStatus(Status::STATUS_ERROR, "TESTING_MODE");
  ASSERT_TRUE(testing);
  EXPECT_EQ(testing->message(), "No more frames");
  // A file that ends is no disconnected camera.
  for (const Status& s : seen_) {
    EXPECT_NE(s.type(), Status::CAMERA_DISCONNECTED);
  }
  EXPECT_EQ(driver_->frames_grabbed(), kClipFrames);
}

TEST_F(DriverTest, OutsideTestingModeOnlyEventDetectionsArePublished) {
  ASSERT_NO_FATAL_FAILURE(Start(51));
  Send(ClipConfig("cfg-2", ""));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg-2"));
  std::set<std::string> uuids;
  int results = 0;
  while (auto result = NextResult(milliseconds(3000))) {
    ASSERT_EQ(result->rect_detection_size(), 1);
    ASSERT_EQ(result->vision_event_size(), 1);
    EXPECT_EQ(result->rect_detection(0).tracking_id(),
              result->vision_event(0).tracking_id());
    EXPECT_LT(result->rect_detection(0).tracking_id(), 1000u);
    EXPECT_EQ(result->uuid().size(), 36u);
    EXPECT_EQ(result->uuid()[14], '4');  // version 4
    uuids.insert(result->uuid());
    ++results;
  }
  EXPECT_EQ(results, kClipFrames);
  EXPECT_EQ(uuids.size(), static_cast<size_t>(kClipFrames));
}

struct CommandCase {
  const char* name;
  int port_index;
  std::string message;  // text format of the DriverConfig
  Status::MessageType type;
  const char* reply;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandTest : public DriverTest,
                    public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, AnswersWithTheRequestUuid) {
  const CommandCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Start(c.port_index));
  Send(c.message);
  auto status = WaitStatus(c.type, "req-1");
  ASSERT_TRUE(status) << c.message;
  EXPECT_EQ(status->message(), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, CommandTest,
    ::testing::Values(
        CommandCase{"GetVersion", 52,
                    "uuid: 'req-1' kestu_eye_config { action: GET_VERSION }",
                    Status::COMMAND_EXECUTED, "2.9.1"},
        CommandCase{"StopRecording", 53,
                    "uuid: 'req-1' kestu_eye_config { action: STOP_RECORDING }",
                    Status::COMMAND_EXECUTED, "STOP_RECORDING"},
        CommandCase{
            "StartRecordingWithoutOptions", 54,
            "uuid: 'req-1' kestu_eye_config { action: START_RECORDING }",
            Status::COMMAND_EXECUTED, "START_RECORDING"},
        CommandCase{"UnknownAction", 55,
                    "uuid: 'req-1' kestu_eye_config { action: 99 }",
                    Status::COMMAND_EXECUTED, ""},
        CommandCase{"NoEyeConfig", 56, "uuid: 'req-1'",
                    Status::COMMAND_EXECUTED, "KESTU_ACTION_NOT_DEFINED"},
        // A configuration map makes it a configuration: the action is
        // ignored.
        CommandCase{"ConfigWinsOverAction", 57,
                    "uuid: 'req-1' kestu_eye_config { action: GET_VERSION "
                    "config { } }",
                    Status::CONFIG_RECEIVED, ""},
        CommandCase{"MissingRequiredKey", 58,
                    WithConfig("req-1", Prop("pipeline_mode", Str("throw"))),
                    Status::STATUS_ERROR,
                    "CHECK failed: it != end(): key not found: required_key"},
        CommandCase{"PipelineSetupFails", 59,
                    WithConfig("req-1", Prop("pipeline_mode", Str("fail"))),
                    Status::STATUS_ERROR,
                    "Pipeline setup failed: the test pipeline fails"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(DriverTest, BadConfigurationKeepsThePreviousPipeline) {
  ASSERT_NO_FATAL_FAILURE(Start(60));
  Send(ClipConfig("good",
                  Prop("testing_mode", Bool(true)) + Prop("max_fps", Int(20))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "good"));
  ASSERT_TRUE(NextResult());
  Send(WithConfig("bad", Prop("pipeline_mode", Str("throw"))));
  auto error = WaitStatus(Status::STATUS_ERROR, "bad");
  ASSERT_TRUE(error);
  // No CONFIG_RECEIVED for the rejected message, and frames keep coming
  // from the previous pipeline.
  for (const Status& s : seen_) {
    EXPECT_FALSE(s.uuid() == "bad" && s.type() == Status::CONFIG_RECEIVED);
  }
  EXPECT_TRUE(NextResult());
  EXPECT_TRUE(driver_->HasPipeline());
  EXPECT_TRUE(client_->Ping(kWait));
}

TEST_F(DriverTest, CapturePreviewSendsOneScaledJpeg) {
  ASSERT_NO_FATAL_FAILURE(Start(61));
  Send(ClipConfig("cfg", Prop("preview_size_factor", "double_value: 0.5") +
                             Prop("max_fps", Int(5)) +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  Send("uuid: 'prev' kestu_eye_config { action: CAPTURE_PREVIEW }");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "prev"));
  std::optional<VisionResult> preview;
  ASSERT_TRUE(PollUntil(
      [&] {
        auto result = NextResult(milliseconds(200));
        if (result && result->has_result_image()) preview = result;
        return preview.has_value();
      },
      kWait));
  EXPECT_EQ(preview->rect_detection_size(), 0);
  EXPECT_EQ(preview->vision_event_size(), 0);
  EXPECT_EQ(preview->uuid(), "");
  const std::string& jpeg = preview->result_image().image();
  cv::Mat decoded = cv::imdecode(std::vector<uchar>(jpeg.begin(), jpeg.end()),
                                 cv::IMREAD_COLOR);
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(decoded.size(), cv::Size(160, 120));
  EXPECT_EQ(preview->result_image().size().width(), 160);
  EXPECT_EQ(preview->result_image().size().height(), 120);
}

TEST_F(DriverTest, StreamingSendsWholeResultsWithTheirImage) {
  ASSERT_NO_FATAL_FAILURE(Start(62));
  auto streaming = std::make_shared<StreamingManager>();
  ASSERT_TRUE(streaming->Init(base_ + 15, "127.0.0.1"));
  driver_->SetStreamingManager(streaming);
  Subscriber viewer(context_, kestu_tools::Endpoint("127.0.0.1", base_ + 15),
                    kWait);
  Send(ClipConfig("cfg", Prop("max_fps", Int(20)) +
                             Prop("preview_size_factor", "double_value: 0.5") +
                             Prop("enable_source_reconnection", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  EXPECT_FALSE(viewer.Receive(milliseconds(300)));  // not started yet
  Send("uuid: 'on' kestu_eye_config { action: START_STREAMING }");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "on"));
  // A preview requested while streaming gets the same, once-processed image.
  Send("uuid: 'prev' kestu_eye_config { action: CAPTURE_PREVIEW }");
  for (int i = 0; i < 5; ++i) {
    auto bytes = viewer.Receive(kWait);
    ASSERT_TRUE(bytes);
    VisionResult result;
    ASSERT_TRUE(result.ParseFromString(*bytes));
    EXPECT_EQ(result.rect_detection_size(), 2);  // the whole frame result
    EXPECT_EQ(result.result_image().size().width(), 160);
    EXPECT_EQ(result.result_image().size().height(), 120);
  }
  Send("uuid: 'off' kestu_eye_config { action: STOP_STREAMING }");
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "off"));
  while (viewer.Receive(milliseconds(300))) {
  }
  EXPECT_FALSE(viewer.Receive(milliseconds(500)));
}

TEST_F(DriverTest, MaxFpsThrottlesTheFrameInterval) {
  ASSERT_NO_FATAL_FAILURE(Start(63));
  Send(ClipConfig("cfg",
                  Prop("testing_mode", Bool(true)) + Prop("max_fps", Int(10))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(NextResult());
  EXPECT_NEAR(driver_->frame_interval_ms(), 100.0, 25.0);
}

TEST_F(DriverTest, AsyncModeProcessesEveryFrameThroughTheQueue) {
  ASSERT_NO_FATAL_FAILURE(Start(64));
  Send(ClipConfig(
      "cfg", Prop("testing_mode", Bool(true)) + Prop("async_mode", Bool(true)) +
                 Prop("max_async_images", Int(0)) + Prop("max_fps", Int(50))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  EXPECT_EQ(driver_->max_async_images(), 1);  // raised from 0
  int results = 0;
  while (NextResult(milliseconds(3000))) ++results;
  EXPECT_EQ(results, kClipFrames);
}

TEST(DriverKeysTest, SettingsFollowTheirKeys) {
  ResetFlags();
  Driver driver(TestDriverKind(), nullptr, /*start_threads=*/false);
  auto apply = [&](const std::string& properties) {
    driver.Configure(ConfigFromText(WithConfig("u", properties)));
  };
  apply(Prop("blur_amount", Int(90)) + Prop("detection_timeout", Int(10)) +
        Prop("max_fps", Int(10)) +
        Prop("resolution", "size_value { width: 640 height: 480 }"));
  EXPECT_EQ(driver.blur_amount(), 91);
  EXPECT_EQ(driver.settings().detection_timeout(), 30);
  EXPECT_EQ(driver.max_fps(), 10);
  EXPECT_EQ(driver.target_resolution(), cv::Size(640, 480));

  // Max FPS resets on every configuration; a bad resolution keeps the old
  // one; a double blur amount reads as 0 and is raised to 1.
  apply(Prop("blur_amount", "double_value: 7.0") +
        Prop("resolution", "size_value { width: 0 height: 480 }") +
        Prop("max_async_images", Int(3)) + Prop("detection_timeout", Int(45)));
  EXPECT_EQ(driver.blur_amount(), 1);
  EXPECT_EQ(driver.max_fps(), 0);
  EXPECT_EQ(driver.target_resolution(), cv::Size(640, 480));
  EXPECT_EQ(driver.max_async_images(), 5);  // ignored without async_mode
  EXPECT_EQ(driver.settings().detection_timeout(), 45);

  apply(Prop("blur_amount", Int(7)) + Prop("max_fps", "double_value: 10") +
        Prop("camera_properties", "entity_value { " + Prop("gain", Int(3)) +
                                      Prop("zoom", "double_value: 1.5") +
                                      Prop("bad", Str("x")) + " }"));
  EXPECT_EQ(driver.blur_amount(), 7);
  EXPECT_EQ(driver.max_fps(), 0);  // only an integer enables throttling
  const std::map<std::string, double> expected = {
      {"bad", 0.0}, {"gain", 3.0}, {"zoom", 1.5}};
  EXPECT_EQ(driver.camera_properties(), expected);
  ResetFlags();
}

TEST(DriverKeysTest, MonitorPerformanceSwitchesThePipelineTimer) {
  ResetFlags();
  Driver driver(TestDriverKind(), nullptr, /*start_threads=*/false);
  // Before a pipeline exists the key is ignored.
  driver.Configure(
      ConfigFromText(WithConfig("u", Prop("monitor_performance", Bool(true)))));
  driver.Configure(ConfigFromText(
      WithConfig("u", Prop("pipeline_mode", Str("ok")) +
                          Prop("monitor_performance", Bool(true)))));
  TestPipeline* pipeline = LastTestPipeline(driver);
  ASSERT_NE(pipeline, nullptr);
  EXPECT_TRUE(pipeline->performance().IsEnabled());
  pipeline->performance().StartSection("Detection");
  pipeline->performance().StopSection("Detection");

  // On again keeps the sections; off and on again starts empty.
  auto exported = [&] {
    talvenrook::vision::v1::FrameData frame;
    pipeline->performance().ExportSections(frame.mutable_sections());
    return frame.sections_size();
  };
  driver.Configure(
      ConfigFromText(WithConfig("u", Prop("monitor_performance", Bool(true)))));
  EXPECT_EQ(exported(), 1);
  driver.Configure(ConfigFromText(
      WithConfig("u", Prop("monitor_performance", Bool(false)))));
  EXPECT_FALSE(pipeline->performance().IsEnabled());
  driver.Configure(
      ConfigFromText(WithConfig("u", Prop("monitor_performance", Bool(true)))));
  EXPECT_EQ(exported(), 0);
}

TEST(DriverKeysTest, ReplayFileIsIndexedAfreshOnEveryConfiguration) {
  ResetFlags();
  // Two frames: track 7 ends in the second (a published tag), track 8's
  // start is not published by this driver.
  VisionResultList recorded;
  for (int frame = 0; frame < 2; ++frame) {
    auto* result = recorded.add_vision_results();
    result->add_rect_detection()->set_tracking_id(7);
    auto* event = result->add_vision_event();
    event->set_tracking_id(frame == 0 ? 8 : 7);
    event->set_tag(frame == 0 ? talvenrook::vision::v1::TRACKING_START
                              : talvenrook::vision::v1::TRACKING_END);
  }
  const std::string path =
      "/tmp/kestu-replay-test-" + std::to_string(getpid()) + ".pb";
  ASSERT_TRUE(WriteDetectionsFile(recorded, path));
  FLAGS_replay_detections_file = path;
  Driver driver(TestDriverKind(), nullptr, /*start_threads=*/false);
  for (int round = 0; round < 2; ++round) {
    driver.Configure(ConfigFromText(WithConfig("u", "")));
    const ReplayIndex index = driver.replay_index();
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index.begin()->first, 7u);
    EXPECT_EQ(index.begin()->second.rect_detection_size(), 1);
  }
  std::remove(path.c_str());
  ResetFlags();
}

}  // namespace
}  // namespace vostek_kestu
