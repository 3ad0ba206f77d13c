#include "vision/regions/day_night_detector.h"

namespace talvenrook_vision {

std::string DayNightDetector::Classify(const cv::Mat& frame, int32_t track_id,
                                       bool skip) {
  if (!skip) {
    vote_.Record(track_id, net_.Run(frame));
  }
  return net_.Label(vote_.ClassOf(track_id, true));
}

}  // namespace talvenrook_vision
