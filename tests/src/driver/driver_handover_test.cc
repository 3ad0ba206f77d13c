// Frames handed from the capture side to the frame step: a replaced
// pipeline, a recording that suspends the analytics, the pipeline clock
// and performance monitoring switched while frames run.
#include <cstdio>
#include <ctime>

#include "tests/src/driver/driver_fixture.h"

namespace vostek_kestu {
namespace {

// Every frame popped was the one pushed: (pushed, shown) pairs agree.
void ExpectInStep(const std::vector<std::pair<int, int>>& pops) {
  ASSERT_FALSE(pops.empty());
  for (size_t i = 0; i < pops.size(); ++i) {
    EXPECT_NE(pops[i].first, -1) << "pop " << i << " without a push";
    EXPECT_EQ(pops[i].first, pops[i].second) << "pop " << i;
  }
}

std::string AsyncClipConfig(const std::string& extra) {
  return Prop("testing_mode", Bool(true)) + Prop("async_mode", Bool(true)) +
         Prop("max_async_images", Int(5)) + extra;
}

TEST_F(DriverTest, ReplacedPipelineGetsNoneOfTheQueuedFrames) {
  ASSERT_NO_FATAL_FAILURE(Start(200));
  // A slow first pipeline: the capture side fills the queue meanwhile.
  Send(ClipConfig("first", AsyncClipConfig(Prop("hang_ms", Int(150)) +
                                           Prop("enable_source_reconnection",
                                                Bool(true)))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "first"));
  ASSERT_TRUE(NextResult());
  ASSERT_TRUE(NextResult());
  Send(WithConfig("second", Prop("pipeline_mode", Str("ok"))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "second"));
  TestPipeline* second = LastTestPipeline(*driver_);
  ASSERT_TRUE(PollUntil([&] { return second->pops().size() >= 10; }, kWait));
  ExpectInStep(second->pops());
}

TEST_F(DriverTest,
       RecordingThatSuspendsAnalyticsLeavesAThreadedPipelineInStep) {
  ASSERT_NO_FATAL_FAILURE(Start(201));
  const std::string path =
      "/tmp/kestu-handover-recording-" + std::to_string(base_) + ".avi";
  std::remove(path.c_str());
  Send(ClipConfig(
      "cfg", AsyncClipConfig(Prop("hang_ms", Int(20)) +
                             Prop("enable_source_reconnection", Bool(true)))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  TestPipeline* pipeline = LastTestPipeline(*driver_);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(NextResult());
  // 20 frames (2 s at 10 fps) written while the analytics are suspended.
  Send(SuspendingRecordingRequest("rec", path));
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "rec"));
  ASSERT_TRUE(WaitStatus(Status::VIDEO_READY));
  const size_t popped_during = pipeline->pops().size();
  ASSERT_TRUE(PollUntil(
      [&] { return pipeline->pops().size() >= popped_during + 10; }, kWait));
  ExpectInStep(pipeline->pops());
  // The asynchronous frame step recorded the frames of the recording.
  cv::VideoCapture video(path);
  int frames = 0;
  for (cv::Mat frame; video.read(frame);) ++frames;
  EXPECT_EQ(frames, 20);
  std::remove(path.c_str());
}

struct ClockCase {
  const char* name;
  int port_index;
  std::string extra;
};

class PipelineClockTest : public DriverTest,
                          public ::testing::WithParamInterface<ClockCase> {};

// The clip is written at 25 fps: its frames lie 40 ms apart, however fast
// the driver reads them.
TEST_P(PipelineClockTest, AdvancesByTheClipsOwnFrameInterval) {
  ASSERT_NO_FATAL_FAILURE(Start(GetParam().port_index));
  const int64_t before = std::time(nullptr);
  Send(ClipConfig("cfg", Prop("testing_mode", Bool(true)) + GetParam().extra));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  TestPipeline* pipeline = LastTestPipeline(*driver_);
  int results = 0;
  while (NextResult(milliseconds(3000))) ++results;
  ASSERT_EQ(results, kClipFrames);
  const int64_t after = std::time(nullptr);
  const std::vector<int64_t> ticks = pipeline->ticks();
  ASSERT_EQ(ticks.size(), static_cast<size_t>(kClipFrames));
  for (size_t i = 1; i < ticks.size(); ++i) {
    const double ms =
        (ticks[i] - ticks[i - 1]) * 1000.0 / cv::getTickFrequency();
    EXPECT_NEAR(ms, 40.0, 0.5) << "frame " << i;
  }
  // Event calendar stamps stay wall time.
  for (int64_t seconds : pipeline->calendar()) {
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, PipelineClockTest,
                         ::testing::Values(ClockCase{"FullSpeed", 202, ""},
                                           ClockCase{"ThrottledTo10Fps", 203,
                                                     Prop("max_fps", Int(10))},
                                           ClockCase{
                                               "Asynchronous", 204,
                                               Prop("async_mode", Bool(true)) +
                                                   Prop("max_fps", Int(50))}),
                         [](const ::testing::TestParamInfo<ClockCase>& info) {
                           return info.param.name;
                         });

TEST_F(DriverTest, MonitoringSwitchedWhileFramesRun) {
  ASSERT_NO_FATAL_FAILURE(Start(205));
  Send(ClipConfig(
      "cfg", AsyncClipConfig(Prop("hang_ms", Int(2)) +
                             Prop("enable_source_reconnection", Bool(true)))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  TestPipeline* pipeline = LastTestPipeline(*driver_);
  for (int i = 0; i < 20; ++i) {
    const std::string uuid = "monitor-" + std::to_string(i);
    Send(WithConfig(uuid, Prop("monitor_performance", Bool(i % 2 == 0))));
    ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, uuid));
    ASSERT_TRUE(NextResult());
  }
  EXPECT_FALSE(pipeline->monitor_performance());
  ExpectInStep(pipeline->pops());
}

TEST(FrameTimelineTest, FollowsFileTimeAndNeverGoesBack) {
  constexpr double kFrequency = 1000.0;  // ticks are milliseconds here
  FrameTimeline timeline(kFrequency);
  struct Step {
    bool from_file;
    double position_ms;
    int64_t now;
    int64_t expected;
  };
  const Step steps[] = {
      {true, 0.0, 5000, 5000},   // anchored at the first file frame
      {true, 40.0, 5001, 5040},  // read fast: file time, not wall time
      {true, 80.0, 9000, 5080},  // read slowly: the same
      {true, 0.0, 9010, 5120},   // reopened: continues one frame later
      {true, 40.0, 9020, 5160},
      {false, -1.0, 9030, 9030},  // a live source: the grab time
      {false, -1.0, 9030, 9031},  // never the same tick twice
      {true, -1.0, 9040, 9040},   // a file without timestamps
  };
  for (const Step& step : steps) {
    EXPECT_EQ(timeline.FrameTicks(step.from_file, step.position_ms, step.now),
              step.expected)
        << step.position_ms << " at " << step.now;
  }
}

}  // namespace
}  // namespace vostek_kestu
