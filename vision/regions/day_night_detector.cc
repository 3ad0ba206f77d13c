#include "vision/regions/day_night_detector.h"

namespace talvenrook_vision {

std::string DayNightDetector::Classify(const cv::Mat& frame, int32_t track_id,
                                       bool skip) {
  if (!skip) {
    const ClassScore result = RunClassifier(frame, track_id);
    results_[track_id] = result;
    AddVote(track_id, result);
  }
  return Label(track_id, true);
}

}  // namespace talvenrook_vision
