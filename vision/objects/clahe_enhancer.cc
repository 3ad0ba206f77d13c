#include "vision/objects/clahe_enhancer.h"

#include <iostream>

namespace talvenrook_vision {

void ClaheEnhancer::Configure(const Entity& config) {
  if (!HasProperty(config, "clahe")) return;
  const Entity& clahe = AsEntity(GetProperty(config, "clahe"));
  if (!CheckRequiredProperties(
          clahe, {"clip_limit", "tiles_grid_size_x", "tiles_grid_size_y"})) {
    enabled_ = false;
    use_at_night_ = false;
    use_at_day_ = false;
    return;
  }
  double clip_limit = 0.0;
  int32_t tiles_x = 0, tiles_y = 0;
  ConvertValue(GetProperty(clahe, "clip_limit"), &clip_limit);
  ConvertValue(GetProperty(clahe, "tiles_grid_size_x"), &tiles_x);
  ConvertValue(GetProperty(clahe, "tiles_grid_size_y"), &tiles_y);
  // Both switches are required once the group is complete; a missing one
  // refuses the configuration before anything changes.
  bool night = false, day = false;
  ConvertValue(GetProperty(clahe, "use_at_night"), &night);
  ConvertValue(GetProperty(clahe, "use_at_day"), &day);
  clahe_ = cv::createCLAHE();
  clahe_->setClipLimit(clip_limit);
  clahe_->setTilesGridSize(cv::Size(tiles_x, tiles_y));
  enabled_ = true;
  use_at_night_ = night;
  use_at_day_ = day;
  std::cerr << "INFO: Using CLAHE algorithm." << std::endl;
}

bool ClaheEnhancer::ShouldEnhance(int moment_of_day) const {
  return (use_at_night_ && (use_at_day_ || moment_of_day == 2)) ||
         (use_at_day_ && moment_of_day == 1);
}

cv::Mat ClaheEnhancer::Apply(const cv::Mat& frame, int moment_of_day) {
  if (!enabled_ || !clahe_ || frame.empty() || frame.channels() != 3 ||
      !ShouldEnhance(moment_of_day)) {
    return frame;
  }
  cv::Mat enhanced;
  try {
    cv::cvtColor(frame, lab_, cv::COLOR_BGR2Lab);
    cv::split(lab_, channels_);
    clahe_->apply(channels_[0], channels_[0]);
    cv::merge(channels_, 3, lab_);
    cv::cvtColor(lab_, enhanced, cv::COLOR_Lab2BGR);
  } catch (const cv::Exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return frame;
  }
  return enhanced;
}

}  // namespace talvenrook_vision
