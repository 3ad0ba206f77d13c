#include "vision/video/threaded_video_gather.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tests/vision/video/numbered_video.h"

namespace talvenrook_vision {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::StderrCapture;
using std::chrono::milliseconds;
using testing::FrameNumber;
using testing::NumberedVideo;

// Long enough for a busy machine to decode the next frame; a read that
// finds the reader stopped and the buffer empty waits this long.
constexpr int kReadTimeoutMs = 1000;
// For reads after the reader has stopped.
constexpr int kStoppedReadTimeoutMs = 20;

// Reads until Read fails; returns the numbers of the frames read.
std::vector<int> Drain(ThreadedVideoGather& gather) {
  std::vector<int> numbers;
  cv::Mat frame;
  while (gather.Read(frame)) numbers.push_back(FrameNumber(frame));
  return numbers;
}

std::vector<int> Range(int first, int count) {
  std::vector<int> numbers;
  for (int i = 0; i < count; ++i) numbers.push_back(first + i);
  return numbers;
}

// The reader grabs nothing until it is released by StartReading or by the
// first Read.
class HoldTest : public ::testing::TestWithParam<bool> {};

TEST_P(HoldTest, GrabsNothingUntilReleased) {
  const bool release_by_read = GetParam();
  NumberedVideo video("hold", 30);
  ThreadedVideoGather gather(/*skip_frames=*/true, 3, kReadTimeoutMs);
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  EXPECT_TRUE(gather.IsOpened());
  EXPECT_FALSE(PollUntil([&] { return gather.BufferedFrameCount() > 0; },
                         milliseconds(150)));
  EXPECT_TRUE(gather.IsOpened());

  cv::Mat frame;
  if (release_by_read) {
    ASSERT_TRUE(gather.Read(frame));
    EXPECT_EQ(FrameNumber(frame), 0);
  } else {
    gather.StartReading();
    ASSERT_TRUE(PollUntil([&] { return gather.BufferedFrameCount() == 3; }));
    ASSERT_TRUE(gather.Read(frame));
    EXPECT_EQ(FrameNumber(frame), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(ReleasedBy, HoldTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Read" : "StartReading";
                         });

TEST(ThreadedVideoGatherTest,
     WithoutSkippingDeliversEveryFrameFromABoundedBuffer) {
  NumberedVideo video("no_skip", 30);
  ThreadedVideoGather gather(/*skip_frames=*/false, 4, kReadTimeoutMs);
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  gather.StartReading();
  ASSERT_TRUE(PollUntil([&] { return gather.BufferedFrameCount() == 4; }));
  // A full buffer leaves the rest in the source: it neither grows nor ends.
  EXPECT_FALSE(PollUntil(
      [&] { return gather.BufferedFrameCount() != 4 || !gather.IsOpened(); },
      milliseconds(100)));

  StderrCapture err;
  EXPECT_EQ(Drain(gather), Range(0, 30));
  EXPECT_FALSE(gather.IsOpened());
  EXPECT_TRUE(err.Contains("Stopped reading frames...\n")) << err.str();
  EXPECT_TRUE(err.Contains("Info: Image buffer is empty\n")) << err.str();
}

// With skipping on, a full buffer keeps its oldest frames and everything the
// source delivers meanwhile is dropped; the frames buffered when the reader
// stops at the end of the file are still delivered.
TEST(ThreadedVideoGatherTest, SkippingDropsFramesWhileTheBufferIsFull) {
  NumberedVideo video("skip", 40);
  ThreadedVideoGather gather(/*skip_frames=*/false, 3, kStoppedReadTimeoutMs);
  gather.SetSkipFrames(true);
  StderrCapture err;
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  gather.StartReading();
  ASSERT_TRUE(PollUntil([&] { return !gather.IsOpened(); }));
  EXPECT_TRUE(err.Contains("Stopped reading frames...\n")) << err.str();
  EXPECT_EQ(gather.BufferedFrameCount(), 3u);

  EXPECT_EQ(Drain(gather), Range(0, 3));
  EXPECT_TRUE(err.Contains("Info: Image buffer is empty\n")) << err.str();
}

TEST(ThreadedVideoGatherTest, ReleaseStopsTheReaderAndKeepsBufferedFrames) {
  NumberedVideo video("release", 30);
  ThreadedVideoGather gather(/*skip_frames=*/false, 4, kStoppedReadTimeoutMs);
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  gather.StartReading();
  ASSERT_TRUE(PollUntil([&] { return gather.BufferedFrameCount() == 4; }));
  StderrCapture err;
  gather.Release();
  ASSERT_TRUE(
      PollUntil([&] { return err.Contains("Stopped reading frames...\n"); }));
  EXPECT_FALSE(gather.IsOpened());
  EXPECT_EQ(Drain(gather), Range(0, 4));
}

// A read without a buffered frame waits for the reader on the buffer's
// condition variable, not by polling through the sleep function, and ends as
// soon as no reader can deliver one: long before the read time-out.
class EmptyBufferTest : public ::testing::TestWithParam<bool> {};

TEST_P(EmptyBufferTest, ReadEndsWhenNoReaderCanDeliver) {
  const bool opened = GetParam();
  constexpr int kLongReadTimeoutMs = 20000;
  NumberedVideo video("empty_buffer", 3);
  ThreadedVideoGather gather(/*skip_frames=*/false, 5, kLongReadTimeoutMs);
  int sleeps = 0;
  gather.SetSleepFunction([&](milliseconds) { ++sleeps; });
  // Captured before the reader starts, which writes to it.
  StderrCapture err;
  if (opened) {
    ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
    cv::Mat frame;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(gather.Read(frame));
  }
  cv::Mat frame(2, 2, CV_8UC3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(gather.Read(frame));
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            milliseconds(kLongReadTimeoutMs / 2));
  EXPECT_TRUE(frame.empty());
  EXPECT_EQ(sleeps, 0);
  EXPECT_TRUE(err.Contains("Info: Image buffer is empty\n")) << err.str();
  EXPECT_FALSE(gather.IsOpened());
}

INSTANTIATE_TEST_SUITE_P(Reader, EmptyBufferTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "EndedAtTheEndOfTheFile"
                                             : "NeverStarted";
                         });

TEST(ThreadedVideoGatherTest, ReopeningReplacesTheReaderAndItsFrames) {
  NumberedVideo first("reopen_first", 20, 0);
  NumberedVideo second("reopen_second", 20, 40);
  ThreadedVideoGather gather(/*skip_frames=*/false, 4, kReadTimeoutMs);
  ASSERT_TRUE(gather.Open(first.path(), 1, 0, 0));
  gather.StartReading();
  ASSERT_TRUE(PollUntil([&] { return gather.BufferedFrameCount() == 4; }));

  StderrCapture err;
  ASSERT_TRUE(gather.Open(second.path(), 1, 0, 0));
  // The old reader was stopped and joined before the new source opened.
  EXPECT_EQ(err.str().find("Stopped reading frames...\n"), 0u) << err.str();
  EXPECT_EQ(gather.BufferedFrameCount(), 0u);
  EXPECT_EQ(Drain(gather), Range(40, 20));
}

TEST(ThreadedVideoGatherTest, ResolutionMessages) {
  NumberedVideo video("resolution_messages", 2);
  ThreadedVideoGather gather(/*skip_frames=*/true, 5, kReadTimeoutMs);
  ASSERT_TRUE(gather.Open(video.path(), 1, 0, 0));
  StderrCapture err;
  EXPECT_TRUE(gather.SetResolution(cv::Size(64, 48)));
  EXPECT_FALSE(gather.SetResolution(cv::Size(640, 480)));
  EXPECT_EQ(err.str(),
            "Resolution is already set. Good to go!\n"
            "Previous resolution: [64 x 48]\n"
            "Could not set resolution, falling back to: [64 x 48]\n");
}

}  // namespace
}  // namespace talvenrook_vision
