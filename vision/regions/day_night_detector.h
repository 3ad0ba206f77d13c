// DayNightDetector: the whole-frame classifier that tells day from night.
//
// Classify runs the model on the frame (unless skip is set), stores the
// result under the track id without a threshold, votes it when voting is
// on, and returns the recent label of the track; the label "night" marks
// night. The vote smooths the verdict over the last results.
#ifndef VISION_REGIONS_DAY_NIGHT_DETECTOR_H_
#define VISION_REGIONS_DAY_NIGHT_DETECTOR_H_

#include <string>

#include "vision/detectors/base_detector.h"

namespace talvenrook_vision {

class DayNightDetector : public BaseDetector {
 public:
  std::string Name() const override { return "day_night"; }
  std::string Classify(const cv::Mat& frame, int32_t track_id,
                       bool skip) override;
};

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_DAY_NIGHT_DETECTOR_H_
