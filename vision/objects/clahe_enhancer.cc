#include "vision/objects/clahe_enhancer.h"

#include "vision/config/setup_notes.h"
#include "vision/objects/object_keys.h"

namespace talvenrook_vision {

void ClaheEnhancer::Configure(const Entity& config) {
  if (!HasProperty(config, "clahe")) return;
  WrapperSettings pipeline;
  WriteKeyProblems(WrapperKeyTable().ReadOnly(config, {"clahe"}, &pipeline));
  const Entity& clahe = pipeline.clahe;
  if (!CheckRequiredProperties(
          clahe, {"clip_limit", "tiles_grid_size_x", "tiles_grid_size_y"})) {
    enabled_ = false;
    use_at_night_ = false;
    use_at_day_ = false;
    return;
  }
  // Both switches are required once the group is complete; a missing one
  // refuses the configuration before anything changes.
  GetProperty(clahe, "use_at_night");
  GetProperty(clahe, "use_at_day");
  ClaheSettings settings;
  WriteKeyProblems(ClaheKeyTable().Read(clahe, &settings));
  clahe_ = cv::createCLAHE();
  clahe_->setClipLimit(settings.clip_limit);
  clahe_->setTilesGridSize(
      cv::Size(settings.tiles_grid_size_x, settings.tiles_grid_size_y));
  enabled_ = true;
  use_at_night_ = settings.use_at_night;
  use_at_day_ = settings.use_at_day;
  NoteInfo("Using CLAHE algorithm.");
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
    NoteError(e.what());
    return frame;
  }
  return enhanced;
}

}  // namespace talvenrook_vision
