// MTCNNLandmarkDetector: five facial points, a refined ("aligned") box and
// a face confidence for one face box, from an MTCNN output network.
//
// The network sees the face box's crop (a box partly outside the frame is
// padded with black so that the face keeps its place) and gives 16 values:
// the five points relative to the box (two layouts, below), the box
// regression dx1, dy1, dx2, dy2 (o[10..13]) and the face probability o[15].
//  - planar (model "version" "0.0.2"): x of left eye, right eye, nose,
//    mouth left, mouth right in o[0..4], their y in o[5..9];
//  - interleaved (any other version): (x, y) pairs in o[0..9].
// With standard alignment ("use_std_align_box", pipeline config, default
// true) the aligned box is the square of side 2.2 |E - M| around the eyes'
// midpoint E and the mouth M; otherwise the regressed box.
//
// Example model map:
//   properties { key: "type" value { string_value: "ALIGN" } }
//   properties { key: "version" value { string_value: "0.0.2" } }
//   properties { key: "engine" value { string_value: "Caffe" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "prototxt_file" value { string_value: "o.prototxt" } }
//     properties { key: "caffemodel_file" value { string_value: "o.caffemodel"
//     } } properties { key: "input_size" value { size_value { width: 48 height:
//     48 } } } properties { key: "input_scale" value { double_value: 0.0078125
//     } } properties { key: "input_mean_scale" value { array_value {
//       values { double_value: 127.5 } values { double_value: 127.5 }
//       values { double_value: 127.5 } } } }
//     properties { key: "swap_input_channels" value { boolean_value: true } }
//   } } }
//   properties { key: "config" value { entity_value { } } }
//
// Not thread-safe: used from the pipeline's detection thread.
#ifndef VISION_FACE_ATTENTION_MTCNN_LANDMARK_DETECTOR_H_
#define VISION_FACE_ATTENTION_MTCNN_LANDMARK_DETECTOR_H_

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "absl/status/status.h"

#include "vision/config/entity_config.h"
#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

// Points in frame pixels: 0 the aligned box's top-left corner, 1 left eye,
// 2 right eye, 3 nose, 4 mouth centre. No points when the face could not
// be processed (its confidence is then 0).
struct LandmarkResult {
  std::vector<cv::Point2f> points;
  cv::Rect aligned_box;
  float confidence = 1.0f;
};

class MTCNNLandmarkDetector {
 public:
  enum class OutputLayout { kInterleaved, kPlanar };
  static constexpr size_t kOutputSize = 16;

  MTCNNLandmarkDetector() = default;
  virtual ~MTCNNLandmarkDetector() = default;
  MTCNNLandmarkDetector(const MTCNNLandmarkDetector&) = delete;
  MTCNNLandmarkDetector& operator=(const MTCNNLandmarkDetector&) = delete;

  virtual void InstallDecoder(OutputLayout layout) { layout_ = layout; }
  // Writes "Loading MTCNNLandmarkDetector" and "Standard alignment: " 0 or
  // 1 to standard error. A failure, whose message is why, when the network
  // cannot be loaded; "config" and "content" are required
  // (MissingPropertyError).
  virtual absl::Status Load(bool use_std_align_box, const Entity& model);
  // The same with "use_std_align_box" (default true) of the pipeline's
  // config map.
  absl::Status Load(const Entity& pipeline_config, const Entity& model);
  // The landmarks of one face box. A box with no visible part, a failed
  // inference or a short output gives a result without points (after an
  // error line), never an exception.
  virtual LandmarkResult Detect(const cv::Mat& frame, const cv::Mat& grey,
                                const cv::Rect& box);

  OutputLayout layout() const { return layout_; }
  bool use_std_align_box() const { return use_std_align_box_; }
  bool Loaded() const { return predictor_ && predictor_->Loaded(); }

  // The crop of `box`: a view of the frame when the box lies inside it,
  // otherwise `scratch` filled black at the box's size with the visible
  // part copied in place. Empty when no part of the box is visible.
  static cv::Mat CropWithPadding(const cv::Mat& frame, const cv::Rect& box,
                                 cv::Mat* scratch);
  // Decodes a network output for `box`. False, after an error line, when
  // the output is shorter than 16 values.
  static bool Decode(const std::vector<float>& output, const cv::Rect& box,
                     OutputLayout layout, bool std_align,
                     LandmarkResult* result);

 private:
  std::unique_ptr<OpenCVPredict> predictor_;
  OutputLayout layout_ = OutputLayout::kInterleaved;
  bool use_std_align_box_ = true;
  cv::Mat padded_;             // scratch crop
  std::vector<float> output_;  // scratch output
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_MTCNN_LANDMARK_DETECTOR_H_
