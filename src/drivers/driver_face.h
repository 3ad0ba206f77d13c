#ifndef SRC_DRIVERS_DRIVER_FACE_H_
#define SRC_DRIVERS_DRIVER_FACE_H_

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The face analytics driver, registered as "Face Driver".
//
// A configuration with a "config" map and models builds a new face
// pipeline; its "with_*" keys choose the recognitions asked of every frame
// (detection and head pose, age, gender and emotion by default; mask and
// spoof only with a model of that type; face features on request), and
// "publish_entry_events" adds TRACKING_START to the published TRACKING_END.
// The preview shows every face box (green while the face looks), its label
// (gender, age class, emotion, mask, spoof, distance), the landmarks, the
// attention ROIs and point, and in replay mode the recorded label of the
// face with the frames left before its recorded end.
//
// Example configuration (protobuf text format):
//   kestu_eye_config {
//     config {
//       properties { key: "publish_entry_events" value { boolean_value: true } }
//       properties { key: "with_face_features" value { boolean_value: true } }
//       properties { key: "show_confidence" value { boolean_value: true } }
//       properties { key: "attention_rois" value { array_value { values {
//         entity_value {
//           properties { key: "x" value { integer_value: 0 } }
//           properties { key: "y" value { integer_value: 0 } }
//           properties { key: "width" value { integer_value: 320 } }
//           properties { key: "height" value { integer_value: 240 } } } } } } }
//     }
//     models { ... SSD-DETECTOR, ALIGN, AGE_GENDER, EMOTION ... }
//   }
using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

class FaceDriver : public BaseDriver {
 public:
  // Radii in pixels around the attention point.
  struct AttentionPoint {
    int x = 0;
    int y = 0;
    double check_radius = 0.0;
    double looking_radius = 0.0;
  };

  FaceDriver();
  ~FaceDriver() override;

  bool Configure(const DriverConfig& config) override;
  void LogDetection(const VisionResult& result) override;
  void DrawResults(const VisionResult& result, cv::Mat& image) override;

  // The request a configuration's "config" map and models ask for.
  static VisionRequest RequestFor(const KestuEyeConfig& config);
  // The label of one detection: gender, age class, emotion, mask, spoof and
  // distance, joined with ", "; confidences with two decimals when
  // show_confidence.
  static std::string FaceLabel(
      const ::talvenrook::vision::v1::RectangularDetection& detection,
      bool show_confidence);
  // "Children" (up to 14), "Young Adult" (up to 22), "Adult" (below 57),
  // "Senior".
  static std::string AgeClassName(int age);
  // The INFO line of a published result (one detection, one event).
  static std::string DetectionLine(const VisionResult& result);

  // Settings, as the last configuration left them.
  bool show_confidence() const;
  int tracker_frames_to_discard() const;
  std::vector<cv::Rect> attention_rois() const;
  AttentionPoint attention_point() const;
  bool draw_attention_point() const;
  VisionRequest request() const { return request_; }

 private:
  // The drawing keys of one configuration; unset when absent.
  struct DrawingKeys {
    std::optional<bool> show_confidence;
    std::optional<int> frames_to_discard;
    std::optional<std::vector<cv::Rect>> rois;
    std::optional<bool> draw_attention_point;
    std::optional<AttentionPoint> point;
  };

  // Throws MissingPropertyError for a rectangle or point without one of
  // its required keys.
  static DrawingKeys ReadDrawingKeys(const Entity& config);
  void ApplyDrawingKeys(const DrawingKeys& keys);
  void DrawReplayCountdown(const ::talvenrook::vision::v1::RectangularDetection& d,
                           const ReplayIndex& replay, cv::Mat& image,
                           int frames_to_discard) const;

  // Written by Configure (capture thread), read by DrawResults (the frame
  // step's thread).
  mutable std::mutex drawing_mutex_;  // guards the five settings below
  bool show_confidence_ = false;
  int tracker_frames_to_discard_ = 15;
  bool draw_attention_point_ = false;
  std::vector<cv::Rect> attention_rois_;
  AttentionPoint attention_point_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_FACE_H_
