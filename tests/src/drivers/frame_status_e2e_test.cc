// A frame that OpenCV refuses in the crowd pipeline's detection (the real
// models of the crowd sample, given a two-channel image their input
// preparation cannot take) is the frame's failure: the pipeline says so
// with FrameStatus and writes its "ERROR: " line from it, the next good
// frame is OK again, and a driver counts such frames with its other failed
// frames, tells the client, and stops detection after 100 of them in a row.
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "src/drivers/driver_crowd.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/src/drivers/live_driver.h"
#include "vision/detectors/register_adapters.h"
#include "vision/objects/crowd_analytics_video_v1.h"

namespace vostek_kestu {
namespace {

using std::chrono::seconds;
using talvenrook_vision::CrowdAnalyticsVideoV1;
using talvenrook_vision::FrameWork;
using talvenrook_vision::VisionAnalytics;

// Two of the frame's three channels: an image the network's blob
// preparation refuses.
cv::Mat TwoChannels(const cv::Mat& frame) {
  if (frame.empty()) return frame;
  std::vector<cv::Mat> planes;
  cv::split(frame, planes);
  cv::Mat two;
  cv::merge(std::vector<cv::Mat>{planes[0], planes[1]}, two);
  return two;
}

// What the code under test writes to std::cerr while it lives.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

DriverConfig CrowdSample(const std::string& clip) {
  return SampleConfig("crowd_walkway.textproto", clip);
}

// The frames given in turn, detected at once (Process) or begun ahead and
// then finished, and whether each should fail.
struct FrameCase {
  bool bad;
};

class CrowdFrameStatusTest : public testing::TestWithParam<bool> {};

TEST_P(CrowdFrameStatusTest, RefusedFrameFailsAndTheNextGoodOneDoesNot) {
  const bool async = GetParam();
  talvenrook_vision::RegisterDetectorAdapters();
  CrowdAnalyticsVideoV1 pipeline;
  ASSERT_TRUE(pipeline.Setup(CrowdSample("").kestu_eye_config()).ok());
  const cv::Mat good = cv::imread(std::string(KESTU_SOURCE_DIR) +
                                  "/tests/data/people_frame.jpg");
  ASSERT_FALSE(good.empty());
  const VisionRequest request;
  const std::vector<FrameCase> frames = {
      {false}, {true}, {true}, {false}, {true}};
  std::string first_failure;
  for (size_t i = 0; i < frames.size(); ++i) {
    const cv::Mat frame = frames[i].bad ? TwoChannels(good) : good;
    CerrCapture cerr;
    if (async) {
      pipeline.Finish(pipeline.Begin(frame, /*ahead=*/true), request, frame);
    } else {
      pipeline.Process(request, frame);
    }
    const absl::Status status = pipeline.FrameStatus();
    const std::string written = cerr.text();
    if (!frames[i].bad) {
      EXPECT_TRUE(status.ok()) << i << ": " << status;
      EXPECT_EQ(written.find("ERROR: "), std::string::npos) << i << written;
      continue;
    }
    ASSERT_FALSE(status.ok()) << i;
    // OpenCV's own message, as the line written for the frame says it.
    EXPECT_NE(status.message().find("OpenCV"), std::string::npos) << status;
    // One line for the frame, written from the status.
    const size_t line =
        written.find("ERROR: " + std::string(status.message()) + "\n");
    ASSERT_NE(line, std::string::npos) << i << ": " << written;
    EXPECT_EQ(written.find("ERROR: "), line) << i << ": " << written;
    EXPECT_EQ(written.find("ERROR: ", line + 1), std::string::npos)
        << i << ": " << written;
    if (first_failure.empty()) first_failure = std::string(status.message());
    EXPECT_EQ(status.message(), first_failure) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CrowdFrameStatusTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Ahead" : "Process";
                         });

// The crowd pipeline of the crowd driver, given every frame with two
// channels.
class TwoChannelFrames : public VisionAnalytics {
 public:
  explicit TwoChannelFrames(std::unique_ptr<VisionAnalytics> inner)
      : inner_(std::move(inner)) {}

  absl::Status Setup(const KestuEyeConfig& config) override {
    inner_->SetClock(clock());
    inner_->SetTaskRunner(task_runner());
    return inner_->Setup(config);
  }
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool ahead) override {
    return inner_->Begin(TwoChannels(frame), ahead);
  }
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override {
    return inner_->Finish(std::move(work), request, TwoChannels(frame));
  }
  absl::Status FrameStatus() const override { return inner_->FrameStatus(); }

 private:
  std::unique_ptr<VisionAnalytics> inner_;
};

DriverKind TwoChannelCrowdKind() {
  DriverKind kind = CrowdDriver::Kind();
  kind.make_pipeline =
      [make = kind.make_pipeline](
          const KestuEyeConfig& config) -> std::unique_ptr<VisionAnalytics> {
    std::unique_ptr<VisionAnalytics> inner = make(config);
    if (!inner) return nullptr;
    return std::make_unique<TwoChannelFrames>(std::move(inner));
  };
  return kind;
}

class RefusedFramesDriverTest : public testing::TestWithParam<bool> {};

TEST_P(RefusedFramesDriverTest, AreReportedCountedAndStopDetection) {
  const bool async = GetParam();
  const std::string clip = Excerpt(kPeopleClip, 0, 119, "refused-frames");
  ASSERT_FALSE(clip.empty())
      << kPeopleClip << " is missing: scripts/install-deps installs it";
  LiveDriver live(TwoChannelCrowdKind(), async ? 201 : 200);
  DriverConfig config = CrowdSample(clip);
  auto& properties = *config.mutable_kestu_eye_config()
                          ->mutable_config()
                          ->mutable_properties();
  properties["async_mode"].set_boolean_value(async);
  live.Send(config);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, config.uuid()));
  const std::string stage = async ? "PopResult" : "Process";
  const std::string stop =
      "Detection stopped: 100 frames in a row failed. A new configuration or "
      "START_DETECTION starts it again";
  // The failure is told once within the minute, then detection stops.
  std::vector<std::string> errors;
  while (errors.empty() || errors.back() != stop) {
    auto status = live.WaitStatus(Status::STATUS_ERROR, "");
    ASSERT_TRUE(status) << "after " << errors.size() << " errors";
    errors.push_back(status->message());
  }
  ASSERT_EQ(errors.size(), 2u) << errors[0];
  const std::string prefix = "Frame step failed in " + stage + ": ";
  EXPECT_EQ(errors[0].rfind(prefix, 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("OpenCV", prefix.size()), std::string::npos)
      << errors[0];
  EXPECT_TRUE(live.driver().stopped_by_faults());
  EXPECT_TRUE(live.driver().detection_stopped());
  EXPECT_GE(live.driver().frames_grabbed(), 100);
  EXPECT_TRUE(live.Ping());
}

INSTANTIATE_TEST_SUITE_P(Modes, RefusedFramesDriverTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Async" : "Sync";
                         });

}  // namespace
}  // namespace vostek_kestu
