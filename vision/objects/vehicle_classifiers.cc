#include "vision/objects/vehicle_classifiers.h"

namespace talvenrook_vision {

std::string RegionClassifier::ClassifyRegion(const cv::Mat& image,
                                             int32_t track_id,
                                             const cv::Rect& region,
                                             bool skip) {
  if (!skip && HasModel() && !image.empty()) {
    // Boxes may reach beyond the frame; only the part inside is classified.
    const cv::Rect inside = region & cv::Rect(0, 0, image.cols, image.rows);
    if (!inside.empty()) {
      const ClassScore result = RunClassifier(image(inside), track_id);
      ++runs_;
      results_[track_id] = result;
      AddVote(track_id, result);
    }
  }
  return Label(track_id, true);
}

}  // namespace talvenrook_vision
