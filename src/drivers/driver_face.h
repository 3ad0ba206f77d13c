#ifndef SRC_DRIVERS_DRIVER_FACE_H_
#define SRC_DRIVERS_DRIVER_FACE_H_

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "src/driver/driver.h"
#include "vision/tracking/tracker.h"

namespace vostek_kestu {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

// The face driver's drawing keys of the config map (each kept when absent),
// with its log line and drawing.
struct FaceOptions final : KindOptions {
  // Radii in pixels around the attention point.
  struct AttentionPoint {
    int x = 0;
    int y = 0;
    double check_radius = 0.0;
    double looking_radius = 0.0;
  };

  bool show_confidence = false;  // "show_confidence"
  // "tracker_frames_to_discard", with the tracker's default
  int tracker_frames_to_discard =
      talvenrook_vision::Tracker::Parameters{}.frames_to_discard;
  bool draw_attention_point = false;     // "draw_attention_point"
  std::vector<cv::Rect> attention_rois;  // "attention_rois" (replaced whole)
  AttentionPoint attention_point;        // "attention_point"

  // Throws MissingPropertyError for a rectangle or point without one of its
  // required keys, before anything is read.
  std::shared_ptr<const KindOptions> ReadOver(
      const Entity& config) const override;
  std::string DetectionLine(const VisionResult& result) const override;
  void Draw(const DrawContext& context, const VisionResult& result,
            cv::Mat& image) const override;
};

// The face analytics driver, registered as "Face Driver".
//
// Kind() is its entry of the driver table, from which the process builds
// the Driver; the class only gathers the kind's functions. A configuration with
// a "config" map and models builds a new face pipeline; its "with_*" keys
// choose the recognitions asked of every frame (detection and head pose, age,
// gender and emotion by default; mask and spoof only with a model of that type;
// face features on request), and "publish_entry_events" adds TRACKING_START to
// the published TRACKING_END. The preview shows every face box (green while the
// face looks), its label (gender, age class, emotion, mask, spoof, distance),
// the landmarks, the attention ROIs and point, and in replay mode the recorded
// label of the face with the frames left before its recorded end.
//
// Example configuration (protobuf text format):
//   kestu_eye_config {
//     config {
//       properties { key: "publish_entry_events" value { boolean_value: true }
//       } properties { key: "with_face_features" value { boolean_value: true }
//       } properties { key: "show_confidence" value { boolean_value: true } }
//       properties { key: "attention_rois" value { array_value { values {
//         entity_value {
//           properties { key: "x" value { integer_value: 0 } }
//           properties { key: "y" value { integer_value: 0 } }
//           properties { key: "width" value { integer_value: 320 } }
//           properties { key: "height" value { integer_value: 240 } } } } } } }
//     }
//     models { ... SSD-DETECTOR, ALIGN, AGE_GENDER, EMOTION ... }
//   }
class FaceDriver {
 public:
  using AttentionPoint = FaceOptions::AttentionPoint;

  FaceDriver() = delete;

  static const DriverKind& Kind();

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
  // The preview's drawing: every face box (green while the face looks), its
  // label, the landmarks, the attention ROIs and point, and in replay mode
  // the recorded label with the frames left.
  static void Draw(const DrawContext& context, const VisionResult& result,
                   const FaceOptions& options, cv::Mat& image);
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_FACE_H_
