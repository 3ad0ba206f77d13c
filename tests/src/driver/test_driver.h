// A driver kind with a small pipeline for the driver-core tests: every frame
// gives one detection and one TRACKING_END event for track id = frame
// number, plus a second detection (id + 1000) that no event names.
//
// The pipeline also keeps what the hand-over tests look at: the clip frame
// number of every frame pushed, popped or processed (the tests' clips carry
// it in the blue level of the top-left pixel, 10 per frame), and the
// pipeline clock's ticks and calendar seconds at every frame.
#ifndef TESTS_SRC_DRIVER_TEST_DRIVER_H_
#define TESTS_SRC_DRIVER_TEST_DRIVER_H_

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "src/driver/driver.h"
#include "vision/config/entity_config.h"
#include "vision/config/setup_status.h"

namespace vostek_kestu {

// Settings from the configuration map:
//   "pipeline_mode": "ok" | "fail" (Setup returns false) |
//                    "throw" (reads a required key that is absent)
//   "hang_ms": each frame takes this long
//   "throw_stage": "process" | "draw": that stage throws on every frame
class TestPipeline : public talvenrook_vision::VisionAnalytics {
 public:
  absl::Status Setup(
      const talvenrook::kestu::v1::kestueye::KestuEyeConfig& config) override {
    const auto& map = config.config();
    const std::string mode =
        talvenrook_vision::GetPropertyOr(map, "pipeline_mode", "ok");
    if (mode == "fail") {
      return talvenrook_vision::SetupError("the test pipeline fails");
    }
    if (mode == "throw") talvenrook_vision::GetProperty(map, "required_key");
    hang_ms_ = talvenrook_vision::GetPropertyOr(map, "hang_ms", 0);
    throw_stage_ = talvenrook_vision::GetPropertyOr(map, "throw_stage", "");
    return absl::OkStatus();
  }

  // The clip frame number of a test clip's frame.
  static int FrameNumber(const cv::Mat& frame) {
    if (frame.empty()) return -1;
    return static_cast<int>(std::lround(frame.at<cv::Vec3b>(2, 2)[0] / 10.0));
  }

  // A frame begun ahead is counted and remembered by its clip number.
  std::unique_ptr<talvenrook_vision::FrameWork> Begin(const cv::Mat& frame,
                                                      bool ahead) override {
    auto work = std::make_unique<NumberedWork>();
    work->ahead = ahead;
    work->number = FrameNumber(frame);
    if (ahead) ++pushed_;
    return work;
  }
  // Pairs the frame begun ahead with the frame shown, as a pipeline that
  // detects on its own thread does; a work of no frame pairs -1.
  VisionResult Finish(std::unique_ptr<talvenrook_vision::FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override {
    const auto* own = dynamic_cast<const NumberedWork*>(work.get());
    if (own == nullptr || own->ahead) {
      std::lock_guard<std::mutex> lock(mutex_);
      pops_.emplace_back(own ? own->number : -1, FrameNumber(frame));
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ticks_.push_back(clock()->Ticks());
      calendar_.push_back(clock()->CalendarSeconds());
    }
    // The meter is in use for the whole frame, as a real pipeline's is.
    performance().Reset();
    performance().StartSection("Detection");
    if (hang_ms_ > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(hang_ms_));
    }
    performance().StopSection("Detection");
    if (throw_stage_ == "process") {
      throw std::runtime_error("the test pipeline cannot process frames");
    }
    const uint64_t id = ++frames_;
    VisionResult result;
    auto* detection = result.add_rect_detection();
    detection->set_tracking_id(id);
    detection->set_uuid("detection-uuid");
    detection->mutable_location()->set_width(static_cast<float>(frame.cols));
    detection->mutable_location()->set_height(static_cast<float>(frame.rows));
    result.add_rect_detection()->set_tracking_id(id + 1000);
    auto* event = result.add_vision_event();
    event->set_tag(talvenrook::vision::v1::TRACKING_END);
    event->set_tracking_id(id);
    result.set_uuid("frame-uuid");
    return result;
  }

  void Draw(cv::Mat& frame) override {
    if (throw_stage_ == "draw") {
      throw std::runtime_error("the test pipeline cannot draw");
    }
  }

  // (begun frame number, shown frame number) of every frame begun ahead.
  std::vector<std::pair<int, int>> pops() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pops_;
  }
  std::vector<int64_t> ticks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ticks_;
  }
  std::vector<int64_t> calendar() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calendar_;
  }

  std::atomic<int> pushed_{0};

 private:
  struct NumberedWork : talvenrook_vision::FrameWork {
    bool ahead = false;
    int number = -1;
  };

  int hang_ms_ = 0;
  std::string throw_stage_;
  std::atomic<uint64_t> frames_{0};
  mutable std::mutex mutex_;  // guards the lists below
  std::vector<std::pair<int, int>> pops_;
  std::vector<int64_t> ticks_;
  std::vector<int64_t> calendar_;
};

// The test driver's entry: TRACKING_END published, and a new TestPipeline
// for a configuration naming "pipeline_mode".
inline DriverKind TestDriverKind() {
  DriverKind kind;
  kind.key = "test";
  kind.display_name = "Test Driver";
  kind.published_tags = {talvenrook::vision::v1::TRACKING_END};
  kind.make_pipeline = [](const KestuEyeConfig& config)
      -> std::unique_ptr<talvenrook_vision::VisionAnalytics> {
    if (!talvenrook_vision::HasProperty(config.config(), "pipeline_mode")) {
      return nullptr;
    }
    return std::make_unique<TestPipeline>();
  };
  return kind;
}

// The pipeline installed by the last configuration that built one (null
// before any).
inline TestPipeline* LastTestPipeline(const Driver& driver) {
  return static_cast<TestPipeline*>(driver.current_pipeline().get());
}

}  // namespace vostek_kestu

#endif  // TESTS_SRC_DRIVER_TEST_DRIVER_H_
