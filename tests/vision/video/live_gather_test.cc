#include "vision/video/live_gather.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/testing/rtsp_camera.h"
#include "tests/testing/test_util.h"
#include "tests/vision/video/numbered_video.h"

namespace talvenrook_vision {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_testing::SilentPort;
using std::chrono::milliseconds;
using testing::FrameNumber;
using testing::NumberedVideo;

constexpr milliseconds kWait(10000);

// Reads until the source ends; the numbers of the frames read.
std::vector<int> Drain(LiveGather& gather) {
  std::vector<int> numbers;
  cv::Mat frame;
  for (;;) {
    const auto outcome = gather.ReadFor(frame, kWait);
    if (outcome != LiveGather::ReadOutcome::kFrame) break;
    numbers.push_back(FrameNumber(frame));
  }
  return numbers;
}

LiveGatherOptions FileOptions(bool skip_frames) {
  LiveGatherOptions options;
  options.stream_api = cv::CAP_ANY;
  options.skip_frames = skip_frames;
  options.max_buffer_size = 2;
  return options;
}

TEST(LiveGatherTest, DeliversEveryFrameInOrderWhenFramesAreNotSkipped) {
  NumberedVideo video("live_all", 30);
  LiveGatherOptions options = FileOptions(false);
  int opened_with_width = 0;
  options.on_opened = [&opened_with_width](Gather& gather) {
    opened_with_width = gather.GetResolution().width;
  };
  LiveGather gather(options);
  gather.Begin(video.path());
  ASSERT_EQ(gather.WaitOpened(kWait), LiveGather::OpenState::kOpened);
  EXPECT_EQ(opened_with_width, testing::kNumberedVideoWidth);
  EXPECT_EQ(gather.GetResolution(), cv::Size(testing::kNumberedVideoWidth,
                                             testing::kNumberedVideoHeight));
  std::vector<int> expected;
  for (int i = 0; i < 30; ++i) expected.push_back(i);
  EXPECT_EQ(Drain(gather), expected);
  cv::Mat frame;
  EXPECT_EQ(gather.ReadFor(frame, milliseconds(10)),
            LiveGather::ReadOutcome::kEnded);
  EXPECT_FALSE(gather.IsOpened());
}

TEST(LiveGatherTest, OutcomesOfSourcesThatDoNotOpen) {
  struct Case {
    std::string name;
    std::string source;
  };
  const std::vector<Case> cases = {
      {"missing file", "/nonexistent/clip.avi"},
      {"refused stream",
       "rtsp://127.0.0.1:" + std::to_string(PortBlock(322)) + "/cam"},
      {"camera index without a camera", "97"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LiveGatherOptions options;
    LiveGather gather(options);
    gather.Begin(c.source);
    EXPECT_EQ(gather.WaitOpened(kWait), LiveGather::OpenState::kFailed);
    cv::Mat frame;
    EXPECT_EQ(gather.ReadFor(frame, milliseconds(10)),
              LiveGather::ReadOutcome::kEnded);
    EXPECT_FALSE(gather.Stuck());
    EXPECT_FALSE(gather.last_problem().empty());
  }
}

TEST(LiveGatherTest, SilentServerTimesOutAtTheBackEndsOwnTimeout) {
  SilentPort silent(PortBlock(322) + 1);
  ASSERT_TRUE(silent.listening());
  LiveGatherOptions options;  // FFmpeg, which keeps its time-outs
  options.open_deadline = milliseconds(600);
  LiveGather gather(options);
  gather.Begin(silent.url());
  cv::Mat frame;
  EXPECT_EQ(gather.ReadFor(frame, milliseconds(50)),
            LiveGather::ReadOutcome::kWaiting);
  EXPECT_EQ(gather.WaitOpened(kWait), LiveGather::OpenState::kFailed);
  LiveGather::Stage stage = LiveGather::Stage::kDone;
  EXPECT_TRUE(gather.timed_out(&stage));
  EXPECT_EQ(stage, LiveGather::Stage::kOpening);
  EXPECT_NE(gather.last_problem().find("600 ms"), std::string::npos)
      << gather.last_problem();
  EXPECT_FALSE(gather.Stuck());
}

// A back-end that ignores its time-outs (GStreamer waiting for a UDP
// stream nobody sends) is given up without its caller waiting, and holds
// no other open up.
TEST(LiveGatherTest, OpenThatNeverReturnsIsGivenUpAndHoldsNoOneUp) {
  const int64_t abandoned_before = LiveGather::AbandonedCount();
  LiveGatherOptions options;
  options.stream_api = cv::CAP_GSTREAMER;
  options.open_deadline = milliseconds(500);
  const std::string never =
      "udp://127.0.0.1:" + std::to_string(PortBlock(322) + 2);
  auto hung = std::make_unique<LiveGather>(options);
  hung->Begin(never);
  LiveGather::Stage stage = LiveGather::Stage::kStarting;
  if (!PollUntil([&] { return hung->Stuck(&stage); }, kWait)) {
    // This GStreamer gives up by itself: nothing hangs here to test.
    GTEST_SKIP() << "the GStreamer back-end returned from " << never
                 << " by itself";
  }
  EXPECT_EQ(stage, LiveGather::Stage::kOpening);
  EXPECT_STREQ(LiveGather::StageName(stage), "opening");
  hung->Abandon();
  EXPECT_FALSE(hung->Stuck());
  hung.reset();  // does not wait for the capture library
  EXPECT_EQ(LiveGather::AbandonedCount(), abandoned_before + 1);
  // The next open has its turn although the hung one never returned.
  NumberedVideo video("live_after_hang", 3);
  LiveGather next(FileOptions(true));
  next.Begin(video.path());
  EXPECT_EQ(next.WaitOpened(kWait), LiveGather::OpenState::kOpened);
}

TEST(LiveGatherTest, RequestsReachTheReaderAndFailWhenItIsGone) {
  NumberedVideo video("live_requests", 60);
  LiveGatherOptions options = FileOptions(false);
  LiveGather gather(options);
  gather.Begin(video.path());
  ASSERT_EQ(gather.WaitOpened(kWait), LiveGather::OpenState::kOpened);
  // A name outside the camera property table is refused by the reader.
  EXPECT_EQ(gather.ApplyProperty("no_such_property", 1.0),
            PropertyResult::kUnknown);
  gather.Release();
  EXPECT_TRUE(PollUntil([&] { return !gather.IsOpened(); }, kWait));
  EXPECT_EQ(gather.ApplyProperty("brightness", 1.0), PropertyResult::kNotSet);
}

}  // namespace
}  // namespace talvenrook_vision
