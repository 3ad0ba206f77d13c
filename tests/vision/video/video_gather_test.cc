#include "vision/video/video_gather.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/testing/test_util.h"
#include "tests/vision/video/numbered_video.h"
#include "vision/video/threaded_video_gather.h"

namespace talvenrook_vision {
namespace {

using kestu_testing::StderrCapture;
using testing::FrameNumber;
using testing::NumberedVideo;

const char kRealClip[] = KESTU_SOURCE_DIR "/tests/data/face_asl_again.mkv";

enum class Kind { kPlain, kThreaded };

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::kPlain ? "VideoGather" : "ThreadedVideoGather";
}

// The threaded gather as the driver builds it, without dropping frames.
std::unique_ptr<VideoGather> MakeGather(Kind kind) {
  if (kind == Kind::kPlain) return std::make_unique<VideoGather>();
  return std::make_unique<ThreadedVideoGather>(false, 5, 1000);
}

int CountLines(const std::string& text, const std::string& start) {
  int count = 0;
  for (size_t at = text.find(start); at != std::string::npos;
       at = text.find(start, at + 1)) {
    if (at == 0 || text[at - 1] == '\n') ++count;
  }
  return count;
}

// Opening with a recorded wait: every source is opened with settle 3 s and
// retry 5 s, which must appear as waits, not pass as real time.
struct SourceCase {
  const char* label;
  std::string source;  // "@" stands for a readable video file
  int attempts;
  bool camera;  // the source is a camera index
  bool opens;
  int tries;     // "Trying to open camera at" lines
  int failures;  // "Could not open camera" lines, one retry wait each
};

void PrintTo(const SourceCase& test, std::ostream* out) { *out << test.label; }

class OpenSourceTest
    : public ::testing::TestWithParam<std::tuple<SourceCase, Kind>> {};

TEST_P(OpenSourceTest, SelectsTheSourceAndCountsAttempts) {
  const SourceCase& test = std::get<0>(GetParam());
  if (test.camera && std::filesystem::exists("/dev/video0")) {
    GTEST_SKIP() << "a camera is attached";
  }
  NumberedVideo video("open_source", 3);
  const std::string source = test.source == "@" ? video.path() : test.source;

  auto gather = MakeGather(std::get<1>(GetParam()));
  std::vector<std::chrono::milliseconds> waits;
  gather->SetSleepFunction(
      [&waits](std::chrono::milliseconds wait) { waits.push_back(wait); });

  StderrCapture err;
  EXPECT_EQ(gather->Open(source, test.attempts, 3, 5), test.opens);
  EXPECT_EQ(gather->IsOpened(), test.opens);

  const std::string text = err.str();
  EXPECT_EQ(CountLines(text, "Trying to open camera at " + source + "\n"),
            test.tries)
      << text;
  EXPECT_EQ(
      CountLines(text, "Could not open camera. I'll try again in 5 seconds.\n"),
      test.failures)
      << text;

  std::vector<std::chrono::milliseconds> expected;
  for (int i = 0; i < test.failures; ++i) {
    expected.push_back(std::chrono::seconds(3));
    expected.push_back(std::chrono::seconds(5));
  }
  if (test.opens) expected.push_back(std::chrono::seconds(3));
  EXPECT_EQ(waits, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OpenSourceTest,
    ::testing::Combine(
        ::testing::Values(
            SourceCase{"EmptyIsCameraZero", "", 2, true, false, 2, 2},
            SourceCase{"CameraOne", "1", 2, true, false, 2, 2},
            SourceCase{"PaddedCameraOne", "0001", 1, true, false, 1, 1},
            SourceCase{"ShortNonDigitsFailAtOnce", "cam1", 3, false, false, 1,
                       0},
            SourceCase{"NegativeIndexFailsAtOnce", "-1", 2, false, false, 1, 0},
            SourceCase{"FiveDigitsAreAName", "12345", 2, false, false, 2, 2},
            SourceCase{"MissingFile", "/nonexistent/video.mp4", 1, false, false,
                       1, 1},
            SourceCase{"NoAttempts", "@", 0, false, false, 0, 0},
            SourceCase{"FileByName", "@", 3, false, true, 1, 0}),
        ::testing::Values(Kind::kPlain, Kind::kThreaded)),
    [](const ::testing::TestParamInfo<std::tuple<SourceCase, Kind>>& info) {
      return std::string(std::get<0>(info.param).label) +
             (std::get<1>(info.param) == Kind::kPlain ? "_Plain" : "_Threaded");
    });

class GatherKindTest : public ::testing::TestWithParam<Kind> {};

// Both gathers deliver exactly the frames a plain capture decodes.
TEST_P(GatherKindTest, RealClipFramesMatchADirectCapture) {
  auto gather = MakeGather(GetParam());
  ASSERT_TRUE(gather->Open(kRealClip, 1, 0, 0));
  EXPECT_EQ(gather->GetResolution(), cv::Size(640, 480));

  cv::VideoCapture reference(kRealClip);
  ASSERT_TRUE(reference.isOpened());
  cv::Mat expected, frame;
  int frames = 0;
  while (reference.read(expected)) {
    ASSERT_TRUE(gather->Read(frame)) << "frame " << frames;
    ASSERT_EQ(frame.size(), expected.size());
    ASSERT_EQ(cv::norm(frame, expected, cv::NORM_INF), 0.0)
        << "frame " << frames;
    ++frames;
  }
  EXPECT_GT(frames, 70);
  StderrCapture err;
  EXPECT_FALSE(gather->Read(frame));
  EXPECT_FALSE(gather->IsOpened());
}

TEST_P(GatherKindTest, SetPropertyAppliesKnownNamesOnly) {
  NumberedVideo video("set_property", 20);
  auto gather = MakeGather(GetParam());
  ASSERT_TRUE(gather->Open(video.path(), 1, 0, 0));

  StderrCapture err;
  EXPECT_FALSE(gather->SetProperty("Brightness", 0.5));
  EXPECT_FALSE(gather->SetProperty("fps", 12.5));
  EXPECT_TRUE(gather->SetProperty("pos_frames", 10));
  EXPECT_EQ(err.str(),
            "Camera Property not found: Brightness\n"
            "Camera fps: 12.5 [NOT SET]\n"
            "Camera pos_frames: 10 [OK]\n");

  cv::Mat frame;
  ASSERT_TRUE(gather->Read(frame));
  EXPECT_EQ(FrameNumber(frame), 10);
}

TEST_P(GatherKindTest, PropertyTheLibraryRefusesLeavesTheSourceUsable) {
  NumberedVideo video("refused_property", 20);
  auto gather = MakeGather(GetParam());
  ASSERT_TRUE(gather->Open(video.path(), 1, 0, 0));

  StderrCapture err;
  // "backend" is read-only: the capture library throws on any value.
  EXPECT_EQ(gather->ApplyProperty("backend", 1900), PropertyResult::kRefused);
  EXPECT_FALSE(gather->SetProperty("backend", 1900));
  EXPECT_EQ(gather->ApplyProperty("pos_frames", 5), PropertyResult::kSet);
  EXPECT_EQ(err.str(),
            "WARNING: Camera property could not be set: backend\n"
            "WARNING: Camera property could not be set: backend\n"
            "Camera pos_frames: 5 [OK]\n");
  cv::Mat frame;
  ASSERT_TRUE(gather->Read(frame));
  EXPECT_EQ(FrameNumber(frame), 5);
}

TEST_P(GatherKindTest, ResolutionOfAFileCannotChange) {
  NumberedVideo video("resolution", 2);
  auto gather = MakeGather(GetParam());
  ASSERT_TRUE(gather->Open(video.path(), 1, 0, 0));
  const cv::Size size(testing::kNumberedVideoWidth,
                      testing::kNumberedVideoHeight);
  EXPECT_EQ(gather->GetResolution(), size);
  EXPECT_TRUE(gather->SetResolution(size));
  EXPECT_FALSE(gather->SetResolution(cv::Size(32, 24)));
  EXPECT_EQ(gather->GetResolution(), size);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GatherKindTest,
                         ::testing::Values(Kind::kPlain, Kind::kThreaded),
                         KindName);

TEST(VideoGatherTest, ReadsEveryFrameInOrderThenFails) {
  NumberedVideo video("in_order", 25);
  VideoGather gather;
  EXPECT_FALSE(gather.IsOpened());
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  cv::Mat frame;
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(gather.Read(frame));
    EXPECT_EQ(FrameNumber(frame), i);
  }
  EXPECT_TRUE(gather.IsOpened());
  EXPECT_FALSE(gather.Read(frame));
  EXPECT_TRUE(frame.empty());
  EXPECT_FALSE(gather.IsOpened());

  gather.Release();
  EXPECT_FALSE(gather.Read(frame));
}

TEST(VideoGatherTest, SaysItCannotSkipFrames) {
  VideoGather gather;
  StderrCapture err;
  gather.SetSkipFrames(true);
  gather.StartReading();
  EXPECT_EQ(err.str(), "VideoGather has no support for skipping frames.\n");
}

}  // namespace
}  // namespace talvenrook_vision
