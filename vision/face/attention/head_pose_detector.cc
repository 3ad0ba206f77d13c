#include "vision/face/attention/head_pose_detector.h"

#include <iostream>
#include <string>
#include <vector>

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
  predictor_ = CreatePredictor(model);
  if (!predictor_) {
    std::cerr << "ERROR: Could not load the head-pose network" << std::endl;
    return false;
  }
  return true;
}

bool HeadPoseDetector::Estimate(const cv::Mat& crop, HeadAngles* angles) {
  *angles = HeadAngles();
  if (!predictor_ || crop.empty()) {
    std::cerr << "ERROR: Head pose not estimated: "
              << (predictor_ ? "empty face crop" : "no network") << std::endl;
    return false;
  }
  const std::vector<std::vector<float>> outputs =
      predictor_->PredictAll(crop, OutputNames());
  if (outputs.size() != OutputNames().size() || outputs[0].empty() ||
      outputs[1].empty() || outputs[2].empty()) {
    std::cerr << "ERROR: The head-pose network did not give angle_y_fc, "
                 "angle_p_fc and angle_r_fc"
              << std::endl;
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
