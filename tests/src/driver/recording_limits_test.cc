// RecordingScheduler under requests that would exhaust the process: limits
// on what one driver may schedule, writers that open only when due, and the
// orderly stop.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/driver/recording_scheduler.h"
#include "tests/src/driver/recording_test_util.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using recording_testing::Journal;
using recording_testing::kFrameHeight;
using recording_testing::kFrameWidth;
using recording_testing::MakeFrame;
using recording_testing::ReadVideo;
using recording_testing::ScratchDirectory;
using ::talvenrook::common::Value;

const cv::Size kFrameSize(kFrameWidth, kFrameHeight);

// Options for one file in the scratch directory, optionally interleaved.
Entity Recording(const std::string& filename, int duration, int fps,
                 int samples = 0, int period = 0) {
  Entity options;
  auto& map = *options.mutable_properties();
  map["filename"].set_string_value(filename);
  map["duration"].set_integer_value(duration);
  map["fps"].set_integer_value(fps);
  if (samples != 0) {
    auto& interleaved = *map["interleaved_options"]
                             .mutable_entity_value()
                             ->mutable_properties();
    interleaved["samples"].set_integer_value(samples);
    interleaved["period"].set_integer_value(period);
  }
  return options;
}

class RecordingLimitsTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) const {
    return directory_.File(name);
  }
  std::vector<Status> StatusesOf(Status::MessageType type) const {
    std::vector<Status> found;
    for (const Status& status : journal_.Statuses()) {
      if (status.type() == type) found.push_back(status);
    }
    return found;
  }

  ScratchDirectory directory_;
  Journal journal_;
  ManualRecorderClock clock_;
  RecordingScheduler scheduler_{
      [this](Status::MessageType type, const std::string& uuid,
             const std::string& message) {
        journal_.AddStatus(type, uuid, message);
      },
      &clock_};
};

TEST_F(RecordingLimitsTest, ScheduledRecordingsHoldNoFileUntilTheirFrameIsDue) {
  const int before = kestu_testing::OpenDescriptorCount();
  for (size_t i = 0; i < RecordingScheduler::kMaxStartingNow; ++i) {
    ASSERT_TRUE(scheduler_.ScheduleRecording(
        Recording(File("now" + std::to_string(i)), 1, 2), kFrameSize));
  }
  EXPECT_EQ(kestu_testing::OpenDescriptorCount(), before);
  EXPECT_TRUE(std::filesystem::is_empty(directory_.path()));
  EXPECT_TRUE(scheduler_.IsRecording());  // analytics follow the options

  // One more that starts now is refused, and changes nothing.
  Entity extra = Recording(File("extra"), 1, 2);
  (*extra.mutable_properties())["allow_processing"].set_boolean_value(true);
  std::string error;
  EXPECT_FALSE(scheduler_.ScheduleRecording(extra, kFrameSize, &error));
  EXPECT_EQ(error,
            "Recording refused: 17 recordings would start now, at most 16");
  EXPECT_EQ(scheduler_.PendingCount(), RecordingScheduler::kMaxStartingNow);
  EXPECT_FALSE(scheduler_.GetState().allow_processing);

  // Frames come: the first file is written and closed, then the next.
  for (int i = 0; i < 4; ++i) scheduler_.RecordFrame(0, MakeFrame(i));
  EXPECT_EQ(ReadVideo(File("now0.mp4")).frames, 2);
  EXPECT_EQ(ReadVideo(File("now1.mp4")).frames, 2);
  EXPECT_FALSE(std::filesystem::exists(File("now2.mp4")));
}

struct LimitCase {
  const char* name;
  std::vector<std::pair<int, int>> accepted;  // (samples, period) each
  std::pair<int, int> refused;
  const char* error;
};
void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class RecordingLimitTableTest
    : public RecordingLimitsTest,
      public ::testing::WithParamInterface<LimitCase> {};

TEST_P(RecordingLimitTableTest, RequestBeyondALimitSchedulesNothing) {
  const LimitCase& c = GetParam();
  size_t expected = 0;
  for (size_t i = 0; i < c.accepted.size(); ++i) {
    const auto [samples, period] = c.accepted[i];
    ASSERT_TRUE(scheduler_.ScheduleRecording(
        Recording(File("ok" + std::to_string(i)), 1000, 1, samples, period),
        kFrameSize));
    expected += samples;
  }
  std::string error;
  EXPECT_FALSE(scheduler_.ScheduleRecording(
      Recording(File("refused"), 1000, 1, c.refused.first, c.refused.second),
      kFrameSize, &error));
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(scheduler_.PendingCount(), expected);
  EXPECT_TRUE(StatusesOf(Status::STATUS_ERROR).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RecordingLimitTableTest,
    ::testing::Values(
        LimitCase{"SamplesAboveTheMaximum",
                  {},
                  {2147483647, 60},
                  "Recording refused: 2147483647 samples asked, at most 1000"},
        LimitCase{"OneSampleTooMany",
                  {},
                  {1001, 60},
                  "Recording refused: 1001 samples asked, at most 1000"},
        LimitCase{"QueueFull",
                  {{1000, 60}},
                  {25, 60},
                  "Recording refused: 1025 recordings would be scheduled, at "
                  "most 1024"},
        // Every interleaved request starts its first sample now.
        LimitCase{"TooManyStartingNow",
                  std::vector<std::pair<int, int>>(16, {2, 60}),
                  {2, 60},
                  "Recording refused: 17 recordings would start now, at most "
                  "16"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordingLimitsTest, WriterThatFailsWhenDueIsReportedAndSkipped) {
  // A frame rate the mp4v encoder cannot take passes the checks made at
  // scheduling, and fails when the writer opens.
  Entity bad = Recording(File("bad"), 1, 2147483647);
  (*bad.mutable_properties())["codec"].set_string_value("mp4v");
  ASSERT_TRUE(scheduler_.ScheduleRecording(bad, kFrameSize));
  ASSERT_TRUE(
      scheduler_.ScheduleRecording(Recording(File("good"), 1, 3), kFrameSize));
  scheduler_.RecordFrame(0, MakeFrame(0));
  const auto errors = StatusesOf(Status::STATUS_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].message(),
            "Could not open video writer: " + File("bad.mp4"));
  EXPECT_EQ(scheduler_.PendingCount(), 1u);
  for (int i = 1; i <= 3; ++i) scheduler_.RecordFrame(0, MakeFrame(i));
  EXPECT_EQ(ReadVideo(File("good.mp4")).frames, 3);
}

TEST_F(RecordingLimitsTest, CloseFinishesTheRecordingAndRefusesLaterOnes) {
  ASSERT_TRUE(scheduler_.ScheduleRecording(
      Recording(File("long"), 60, 10, 3, 600), kFrameSize));
  for (int i = 0; i < 7; ++i) scheduler_.RecordFrame(0, MakeFrame(i));
  scheduler_.Close();
  const auto ready = StatusesOf(Status::VIDEO_READY);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].message(), File("long_0.mp4"));
  EXPECT_EQ(ReadVideo(File("long_0.mp4")).frames, 7);
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  std::string error;
  EXPECT_FALSE(scheduler_.ScheduleRecording(Recording(File("late"), 1, 1),
                                            kFrameSize, &error));
  EXPECT_EQ(error, "Recording refused: the driver is stopping");
}

}  // namespace
}  // namespace vostek_kestu
