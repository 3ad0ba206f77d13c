// HeadPoseDetector: head angles from a network with three named outputs,
// "angle_y_fc" (yaw), "angle_p_fc" (pitch) and "angle_r_fc" (roll), each
// read from its first value.
//
// Example model map:
//   properties { key: "type" value { string_value: "HEAD-POSE" } }
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "hp.onnx" } }
//     properties { key: "prototxt_file" value { string_value: "" } }
//     properties { key: "input_channels" value { integer_value: 3 } }
//     properties { key: "input_size" value { size_value {
//       width: 60 height: 60 } } } } } }
//   properties { key: "config" value { entity_value { } } }
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_ATTENTION_HEAD_POSE_DETECTOR_H_
#define VISION_FACE_ATTENTION_HEAD_POSE_DETECTOR_H_

#include <memory>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/face/attention/facial_normal.h"
#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

class HeadPoseDetector {
 public:
  // False when the network cannot be loaded; "config" and "content" are
  // required (MissingPropertyError).
  bool Load(const Entity& model);
  // Angles of a colour face crop. False, after an error line, when the
  // crop is empty, the network is not loaded or an output is missing;
  // `angles` is then zero.
  bool Estimate(const cv::Mat& crop, HeadAngles* angles);
  // As above, zeros on failure.
  HeadAngles Estimate(const cv::Mat& crop);

  bool Loaded() const { return predictor_ && predictor_->Loaded(); }

 private:
  std::unique_ptr<OpenCVPredict> predictor_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_HEAD_POSE_DETECTOR_H_
