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

}  // namespace talvenrook_vision
