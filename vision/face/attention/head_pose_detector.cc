#include "vision/face/attention/head_pose_detector.h"

#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {
namespace {

const std::vector<std::string>& OutputNames() {
  static const std::vector<std::string>* const names =
      new std::vector<std::string>{"angle_y_fc", "angle_p_fc", "angle_r_fc"};
  return *names;
}

}  // namespace

bool HeadPoseDetector::Load(const Entity& model) {
  absl::StatusOr<std::unique_ptr<OpenCVPredict>> predictor =
      CreatePredictor(model);
  if (!predictor.ok()) {
    predictor_.reset();
    NoteError("Could not load the head-pose network");
    return false;
  }
  predictor_ = std::move(*predictor);
  return true;
}

bool HeadPoseDetector::Estimate(const cv::Mat& crop, HeadAngles* angles) {
  *angles = HeadAngles();
  if (!predictor_ || crop.empty()) {
    NoteError(absl::StrCat("Head pose not estimated: ",
                           predictor_ ? "empty face crop" : "no network"));
    return false;
  }
  const std::vector<std::vector<float>> outputs =
      predictor_->PredictAll(crop, OutputNames());
  if (outputs.size() != OutputNames().size() || outputs[0].empty() ||
      outputs[1].empty() || outputs[2].empty()) {
    NoteError(
        "The head-pose network did not give angle_y_fc, angle_p_fc and "
        "angle_r_fc");
    return false;
  }
  angles->yaw = outputs[0][0];
  angles->pitch = outputs[1][0];
  angles->roll = outputs[2][0];
  return true;
}

HeadAngles HeadPoseDetector::Estimate(const cv::Mat& crop) {
  HeadAngles angles;
  Estimate(crop, &angles);
  return angles;
}

}  // namespace talvenrook_vision
