// EyeGazeDetector: decides from the two eye regions and the head angles
// whether a face looks at the camera.
//
// The network takes "left_eye_image" and "right_eye_image" (crops around
// landmark points 1 and 2, prepared with the model's size, scale, mean and
// channel swap) and "head_pose_angles" (yaw, pitch, roll), and gives a gaze
// vector g. The face looks when |g[0]| / |g| is below the vertical
// threshold and |g[1]| / |g| below the horizontal one (the pipeline keys
// "eye_vertical_threshold" and "eye_horizontal_threshold", 0.26 each).
//
// Example model map:
//   properties { key: "type" value { string_value: "EYE-GAZE" } }
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "g.onnx" } }
//     properties { key: "prototxt_file" value { string_value: "" } }
//     properties { key: "input_size" value { size_value {
//       width: 60 height: 60 } } } } } }
//   properties { key: "config" value { entity_value { } } }
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_ATTENTION_EYE_GAZE_DETECTOR_H_
#define VISION_FACE_ATTENTION_EYE_GAZE_DETECTOR_H_

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "vision/config/entity_config.h"
#include "vision/face/attention/facial_normal.h"
#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {

class EyeGazeDetector {
 public:
  static constexpr double kDefaultThreshold = 0.26;

  // False, after an error line, when the network cannot be read. The
  // network and its input geometry are read as for any model ("config" and
  // "content" are required: MissingPropertyError); without
  // "input_channels" the eye crops are taken in colour.
  bool Load(const Entity& model, double horizontal_threshold,
            double vertical_threshold);
  // False (after an error line) also when the face cannot be judged: fewer
  // than three points, an eye region outside the frame, a failed inference
  // or a gaze vector that is too short or zero.
  bool IsLooking(const cv::Mat& frame, const cv::Rect& face_box,
                 const HeadAngles& angles,
                 const std::vector<cv::Point2f>& points);

  // The eye region around a landmark point for a face of the given width,
  // before clipping to the frame.
  static cv::Rect EyeBox(const cv::Point2f& eye, int face_width);

  // The gaze vector of the last inference.
  const std::vector<float>& last_gaze() const { return gaze_; }
  bool Loaded() const { return !net_.empty(); }
  double horizontal_threshold() const { return horizontal_; }
  double vertical_threshold() const { return vertical_; }

 private:
  void MakeBlob(const cv::Mat& crop, cv::Mat* blob);
  bool RunNetwork(const cv::Mat& frame, const cv::Rect& left,
                  const cv::Rect& right, const HeadAngles& angles);

  cv::dnn::Net net_;
  ModelParameters geometry_;
  double horizontal_ = kDefaultThreshold;
  double vertical_ = kDefaultThreshold;
  cv::Mat converted_;    // scratch
  cv::Mat left_blob_;    // scratch
  cv::Mat right_blob_;   // scratch
  cv::Mat angles_blob_;  // 1 x 3
  std::vector<float> gaze_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_EYE_GAZE_DETECTOR_H_
