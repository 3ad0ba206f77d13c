#include "vision/objects/frame_preprocessor.h"

namespace talvenrook_vision {

absl::Status FramePreprocessor::Configure(const KestuEyeConfig& config) {
  clahe_.Configure(config.config());
  return night_.Configure(config);
}

PreparedFrame FramePreprocessor::Prepare(const cv::Mat& frame) {
  PreparedFrame prepared;
  prepared.moment = night_.Judge(frame);
  prepared.image = clahe_.Apply(frame, prepared.moment);
  return prepared;
}

void FramePreprocessor::Hold(const PreparedFrame& frame) {
  std::lock_guard<std::mutex> lock(held_mutex_);
  held_.push_back(frame);
}

std::optional<PreparedFrame> FramePreprocessor::TakeHeld() {
  std::lock_guard<std::mutex> lock(held_mutex_);
  if (held_.empty()) return std::nullopt;
  PreparedFrame frame = std::move(held_.front());
  held_.pop_front();
  return frame;
}

}  // namespace talvenrook_vision
