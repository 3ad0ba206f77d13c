#include "vision/objects/vehicle_classifiers.h"

namespace talvenrook_vision {

std::string RegionClassifier::ClassifyRegion(const cv::Mat& image,
                                             int32_t track_id,
                                             const cv::Rect& region,
                                             bool skip) {
  if (!skip && net_.HasModel() && !image.empty()) {
    // Boxes may reach beyond the frame; only the part inside is classified.
    const cv::Rect inside = region & cv::Rect(0, 0, image.cols, image.rows);
    if (!inside.empty()) {
      const ClassScore result = net_.Run(image(inside));
      ++runs_;
      vote_.Record(track_id, result);
    }
  }
  return Label(track_id, true);
}

std::string RegionClassifier::Label(int32_t track_id, bool recent) const {
  return net_.Label(vote_.ClassOf(track_id, recent));
}

}  // namespace talvenrook_vision
