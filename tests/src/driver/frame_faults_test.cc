// A frame step that throws: reported once (then at most once a minute, with
// a count), the next frame goes on, and detection stops after 100 failed
// frames in a row, until a new configuration starts it again.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/driver/frame_fault_reporter.h"
#include "tests/src/driver/driver_fixture.h"
#include "tests/src/driver/test_driver.h"

namespace vostek_kestu {
namespace {

using Clock = FrameFaultReporter::Clock;

// The faults, in order, with the time since the first, and the report
// expected for each ("" for none).
struct FaultStep {
  int at_seconds;
  const char* stage;
  const char* what;
  const char* report;
};

TEST(FrameFaultReporterTest, ReportsOnceThenOnceAMinuteWithACount) {
  const std::vector<FaultStep> steps = {
      {0, "Process", "bad frame", "Frame step failed in Process: bad frame"},
      {1, "Process", "bad frame", ""},
      {59, "Process", "bad frame", ""},
      // Another stage, or another text, is another fault.
      {59, "DrawResults", "bad frame",
       "Frame step failed in DrawResults: bad frame"},
      {59, "Process", "worse frame",
       "Frame step failed in Process: worse frame"},
      {60, "Process", "bad frame",
       "Frame step failed in Process: bad frame (3 more times in the last 60 "
       "s)"},
      {61, "Process", "bad frame", ""},
      {200, "Process", "bad frame",
       "Frame step failed in Process: bad frame (2 more times in the last 140 "
       "s)"},
  };
  Clock::time_point now{};
  FrameFaultReporter reporter([&] { return now; });
  for (const FaultStep& step : steps) {
    now = Clock::time_point{} + std::chrono::seconds(step.at_seconds);
    EXPECT_EQ(reporter.Fault(step.stage, step.what), step.report)
        << step.at_seconds << " s " << step.stage << " " << step.what;
  }
  reporter.Reset();
  EXPECT_EQ(reporter.Fault("Process", "bad frame"),
            "Frame step failed in Process: bad frame");
}

TEST(FrameFaultReporterTest, StopsOnTheHundredthFailedFrameInARow) {
  FrameFaultReporter reporter;
  for (int i = 1; i < FrameFaultReporter::kMaxConsecutiveFailures; ++i) {
    ASSERT_FALSE(reporter.EndFrame(true)) << i;
  }
  EXPECT_FALSE(reporter.EndFrame(false));  // a good frame starts over
  for (int i = 1; i < FrameFaultReporter::kMaxConsecutiveFailures; ++i) {
    ASSERT_FALSE(reporter.EndFrame(true)) << i;
  }
  EXPECT_TRUE(reporter.EndFrame(true));
  EXPECT_EQ(reporter.consecutive_failures(), 100);
}

// A pipeline whose Process throws on every frame of a looping clip, over
// real sockets.
TEST_F(DriverTest, PipelineThrowingOnEveryFrameIsReportedThenStopped) {
  ASSERT_NO_FATAL_FAILURE(Start(523));
  const std::string throwing = WithConfig(
      "throwing", Prop("pipeline_mode", Str("ok")) +
                      Prop("throw_stage", Str("process")) +
                      Prop("source", Str(ClipPath())) +
                      Prop("enable_source_reconnection", Bool(true)));
  Send(throwing);
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "throwing"));
  const std::string fault =
      "Frame step failed in Process: the test pipeline cannot process frames";
  const std::string stop =
      "Detection stopped: 100 frames in a row failed. A new configuration or "
      "START_DETECTION starts it again";
  auto stopped = WaitStatus(Status::STATUS_ERROR, "");
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->message(), fault);
  // The same fault is not reported again within the minute.
  while (stopped && stopped->message() != stop) {
    stopped = WaitStatus(Status::STATUS_ERROR, "");
    ASSERT_TRUE(stopped);
    EXPECT_NE(stopped->message(), fault);
  }
  EXPECT_TRUE(driver_->stopped_by_faults());
  EXPECT_TRUE(driver_->detection_stopped());
  EXPECT_GE(driver_->frames_grabbed(), 100);
  // Stopped, but alive: it answers, and a good configuration starts it
  // again.
  ASSERT_TRUE(client_->Ping(milliseconds(2000)));
  const int64_t grabbed = driver_->frames_grabbed();
  Send(ClipConfig("good", Prop("testing_mode", Bool(true))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "good"));
  EXPECT_TRUE(NextResult());
  EXPECT_FALSE(driver_->stopped_by_faults());
  EXPECT_GT(driver_->frames_grabbed(), grabbed);
}

}  // namespace
}  // namespace vostek_kestu
