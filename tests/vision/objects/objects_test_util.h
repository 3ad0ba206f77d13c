// Configurations and frames for the object pipeline tests: the real
// YOLO-Fastest person model, and a person (cut from a real frame) walking
// across a plain background.
#ifndef TESTS_VISION_OBJECTS_OBJECTS_TEST_UTIL_H_
#define TESTS_VISION_OBJECTS_OBJECTS_TEST_UTIL_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tests/vision/detectors/detector_test_util.h"
#include "vision/analytics/vision_analytics.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {
namespace testing_util {

inline constexpr int kCanvasWidth = 960;
inline constexpr int kCanvasHeight = 432;
inline constexpr int kPatchWidth = 200;

// The walking person of people_frame.jpg pasted with its centre at
// centre_x onto a plain grey canvas (960 x 432); centre_x < 0 gives the
// empty canvas.
inline cv::Mat PersonAt(int centre_x) {
  static const cv::Mat patch = [] {
    cv::Mat frame = ReadImage("people_frame.jpg");
    return frame(cv::Rect(340, 0, kPatchWidth, kCanvasHeight)).clone();
  }();
  cv::Mat canvas(kCanvasHeight, kCanvasWidth, CV_8UC3,
                 cv::Scalar(190, 190, 190));
  if (centre_x < 0) return canvas;
  const int left = centre_x - kPatchWidth / 2;
  const cv::Rect target = cv::Rect(left, 0, kPatchWidth, kCanvasHeight) &
                          cv::Rect(0, 0, kCanvasWidth, kCanvasHeight);
  patch(cv::Rect(target.x - left, 0, target.width, target.height))
      .copyTo(canvas(target));
  return canvas;
}

// Text of a pipeline config map, parsed into a KestuEyeConfig with the
// given models.
inline KestuEyeConfig EyeConfig(const std::string& config_text,
                                const std::vector<Entity>& models) {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(config_text);
  for (const Entity& model : models) *config.add_models() = model;
  return config;
}

// A vertical counting zone at x with the given name and scale.
inline std::string VerticalZone(int x, const std::string& name,
                                double meter_pixel_ratio = 0.01) {
  return R"pb(properties { key: "zones" value { array_value { values { entity_value {
      properties { key: "name" value { string_value: ")pb" +
         name + R"pb(" } }
      properties { key: "A" value { entity_value {
        properties { key: "x" value { integer_value: )pb" +
         std::to_string(x) + R"pb( } }
        properties { key: "y" value { integer_value: 20 } } } } }
      properties { key: "B" value { entity_value {
        properties { key: "x" value { integer_value: )pb" +
         std::to_string(x) + R"pb( } }
        properties { key: "y" value { integer_value: 420 } } } } }
      properties { key: "height" value { integer_value: 40 } }
      properties { key: "meter_pixel_ratio" value { double_value: )pb" +
         std::to_string(meter_pixel_ratio) + R"pb( } }
    } } } } })pb";
}

// Runs Process on the person walking from `from` to `to` (centre x) in
// steps of `step` pixels, 100 ms apart on the clock, then on `tail` empty
// frames; returns every result.
inline std::vector<VisionResult> Walk(VisionAnalytics* pipeline,
                                      ManualTrackingClock* clock, int from,
                                      int to, int step, int tail = 0,
                                      const VisionRequest& request = {}) {
  std::vector<VisionResult> results;
  const int direction = to >= from ? 1 : -1;
  for (int x = from; direction * (to - x) >= 0; x += direction * step) {
    clock->AdvanceTicks(100);
    results.push_back(pipeline->Process(request, PersonAt(x)));
  }
  for (int i = 0; i < tail; ++i) {
    clock->AdvanceTicks(100);
    results.push_back(pipeline->Process(request, PersonAt(-1)));
  }
  return results;
}

// Runs a pipeline with every frame begun ahead, one frame at a time.
class BegunAhead : public VisionAnalytics {
 public:
  explicit BegunAhead(VisionAnalytics* inner) : inner_(inner) {}
  absl::Status Setup(const KestuEyeConfig&) override {
    return absl::OkStatus();
  }
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool) override {
    return inner_->Begin(frame, /*ahead=*/true);
  }
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override {
    return inner_->Finish(std::move(work), request, frame);
  }

 private:
  VisionAnalytics* inner_;
};

// The events of all results with the tag.
inline std::vector<::talvenrook::vision::v1::VisionEvent> EventsOf(
    const std::vector<VisionResult>& results,
    ::talvenrook::vision::v1::EventTag tag) {
  std::vector<::talvenrook::vision::v1::VisionEvent> events;
  for (const VisionResult& result : results) {
    for (const auto& event : result.vision_event()) {
      if (event.tag() == tag) events.push_back(event);
    }
  }
  return events;
}

}  // namespace testing_util
}  // namespace talvenrook_vision

#endif  // TESTS_VISION_OBJECTS_OBJECTS_TEST_UTIL_H_
