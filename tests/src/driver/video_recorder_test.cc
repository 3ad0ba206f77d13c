// VideoRecorder with the real OpenCV writer: files read back with OpenCV,
// start waits measured on a hand-driven clock.
#include "src/driver/video_recorder.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/src/driver/recording_test_util.h"

namespace vostek_kestu {
namespace {

using recording_testing::Journal;
using recording_testing::kFrameHeight;
using recording_testing::kFrameWidth;
using recording_testing::MakeFrame;
using recording_testing::ReadVideo;
using recording_testing::ScratchDirectory;

const cv::Size kFrameSize(kFrameWidth, kFrameHeight);

int Fourcc(const std::string& code) {
  return cv::VideoWriter::fourcc(code[0], code[1], code[2], code[3]);
}

class VideoRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(directory_.path().empty());
    recorder_.SetCompletionCallback(
        [this](const std::string& path) { finished_paths_.push_back(path); });
  }

  ScratchDirectory directory_;
  ManualRecorderClock clock_;
  VideoRecorder recorder_{&clock_};
  std::vector<std::string> finished_paths_;
};

TEST_F(VideoRecorderTest, WritesDurationTimesFpsFramesThenFinishes) {
  const std::string path = directory_.File("clip.mp4");
  ASSERT_TRUE(recorder_.Schedule(2, path, Fourcc("mp4v"), 10, kFrameSize, 0));
  EXPECT_EQ(recorder_.frames_to_write(), 20);
  int finished_at = -1;
  for (int i = 0; i < 25 && finished_at < 0; ++i) {
    clock_.AdvanceSeconds(0.1);
    if (recorder_.Write(MakeFrame(i))) finished_at = i;
  }
  EXPECT_EQ(finished_at, 19);
  EXPECT_EQ(finished_paths_, std::vector<std::string>{path});
  EXPECT_FALSE(recorder_.IsOpen());
  recorder_.Finish();  // a second finish reports nothing more
  EXPECT_EQ(finished_paths_.size(), 1u);

  const auto video = ReadVideo(path);
  ASSERT_TRUE(video.opened) << path;
  EXPECT_EQ(video.frames, 20);
  EXPECT_EQ(video.size, kFrameSize);
  EXPECT_NEAR(video.fps, 10.0, 0.01);
}

TEST_F(VideoRecorderTest, WaitIsMeasuredAcrossCallsFromScheduling) {
  const std::string path = directory_.File("wait.mp4");
  ASSERT_TRUE(recorder_.Schedule(1, path, Fourcc("mp4v"), 4, kFrameSize, 5));
  // Three seconds pass before the recorder gets its first frame, as for a
  // recorder queued behind another: they count.
  clock_.AdvanceSeconds(3);
  EXPECT_FALSE(recorder_.Write(MakeFrame(0)));
  EXPECT_FALSE(recorder_.started());
  clock_.AdvanceSeconds(1.999);
  EXPECT_FALSE(recorder_.Write(MakeFrame(1)));
  EXPECT_FALSE(recorder_.started());
  EXPECT_EQ(recorder_.frames_written(), 0);
  clock_.AdvanceSeconds(0.001);
  EXPECT_FALSE(recorder_.Write(MakeFrame(2)));
  EXPECT_TRUE(recorder_.started());
  EXPECT_EQ(recorder_.frames_written(), 1);
  EXPECT_EQ(recorder_.measured_intervals(), 3);
  EXPECT_DOUBLE_EQ(recorder_.WaitedSeconds(), 5.0);
}

TEST_F(VideoRecorderTest, FramesOfAnotherSizeOrGreyAreFittedAndCounted) {
  const std::string path = directory_.File("fitted.mp4");
  ASSERT_TRUE(recorder_.Schedule(1, path, Fourcc("mp4v"), 6, kFrameSize, 0));
  for (int i = 0; i < 3; ++i) recorder_.Write(MakeFrame(i, {320, 240}));
  cv::Mat grey(kFrameSize, CV_8UC1, cv::Scalar(90));
  bool finished = false;
  for (int i = 0; i < 3; ++i) finished = recorder_.Write(grey);
  ASSERT_TRUE(finished);
  const auto video = ReadVideo(path);
  EXPECT_EQ(video.frames, 6);
  EXPECT_EQ(video.size, kFrameSize);
}

TEST_F(VideoRecorderTest, ZeroFramesToWriteFinishesAtTheFirstFrame) {
  const std::string path = directory_.File("empty.mp4");
  ASSERT_TRUE(recorder_.Schedule(0, path, Fourcc("mp4v"), 24, kFrameSize, 0));
  EXPECT_EQ(recorder_.frames_to_write(), 0);
  EXPECT_TRUE(recorder_.Write(MakeFrame(0)));
  EXPECT_EQ(recorder_.frames_written(), 0);
  EXPECT_EQ(finished_paths_, std::vector<std::string>{path});
}

TEST_F(VideoRecorderTest, DestroyingClosesTheFileWithoutCallback) {
  const std::string path = directory_.File("partial.mp4");
  {
    VideoRecorder recorder(&clock_);
    bool called = false;
    recorder.SetCompletionCallback([&](const std::string&) { called = true; });
    ASSERT_TRUE(recorder.Schedule(10, path, Fourcc("mp4v"), 10, kFrameSize, 0));
    for (int i = 0; i < 7; ++i) recorder.Write(MakeFrame(i));
    EXPECT_FALSE(called);
  }
  EXPECT_EQ(ReadVideo(path).frames, 7);
}

TEST_F(VideoRecorderTest, CallbackMayDestroyTheRecorder) {
  auto recorder = std::make_unique<VideoRecorder>(&clock_);
  std::string reported;
  recorder->SetCompletionCallback([&](const std::string& path) {
    reported = path;
    recorder.reset();
  });
  const std::string path = directory_.File("self.mp4");
  ASSERT_TRUE(recorder->Schedule(1, path, Fourcc("mp4v"), 2, kFrameSize, 0));
  VideoRecorder* raw = recorder.get();
  raw->Write(MakeFrame(0));
  EXPECT_TRUE(raw->Write(MakeFrame(1)));
  EXPECT_EQ(recorder, nullptr);
  EXPECT_EQ(reported, path);
}

TEST_F(VideoRecorderTest, WriterThatDidNotOpenReportsEveryFrame) {
  Journal journal;
  const std::string path = directory_.File("missing/dir/clip.mp4");
  EXPECT_FALSE(recorder_.Schedule(1, path, Fourcc("mp4v"), 2, kFrameSize, 0));
  EXPECT_FALSE(recorder_.Write(MakeFrame(0)));
  EXPECT_EQ(journal.CountOf(
                "log: Could not write frame to video. Recorder is not open"),
            1);
  EXPECT_TRUE(finished_paths_.empty());
}

TEST_F(VideoRecorderTest, ScheduleLogsItsSettings) {
  Journal journal;
  const std::string path = directory_.File("logged.mp4");
  ASSERT_TRUE(recorder_.Schedule(3, path, Fourcc("mp4v"), 2, kFrameSize, 42));
  const std::vector<std::string> expected = {
      "log: Video Recording Scheduled: ", "log:   Output: " + path,
      "log:   Duration: 3", "log:   Resolution: [160 x 120]",
      "log:   Wait time: 42"};
  const auto entries = journal.Entries();
  ASSERT_GE(entries.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(entries.begin(),
                                     entries.begin() + expected.size()),
            expected);
}

}  // namespace
}  // namespace vostek_kestu
