// Boxes in results: a pixel box written into a result's location, and read
// back (the location's values truncated to whole pixels).
#ifndef VISION_ANALYTICS_RESULT_LOCATION_H_
#define VISION_ANALYTICS_RESULT_LOCATION_H_

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"

namespace talvenrook_vision {

inline void SetLocation(const cv::Rect& box,
                        ::talvenrook::vision::v1::Rectangle* location) {
  location->set_x(static_cast<float>(box.x));
  location->set_y(static_cast<float>(box.y));
  location->set_width(static_cast<float>(box.width));
  location->set_height(static_cast<float>(box.height));
}

inline cv::Rect BoxOf(const ::talvenrook::vision::v1::Rectangle& location) {
  return cv::Rect(
      static_cast<int>(location.x()), static_cast<int>(location.y()),
      static_cast<int>(location.width()), static_cast<int>(location.height()));
}

}  // namespace talvenrook_vision

#endif  // VISION_ANALYTICS_RESULT_LOCATION_H_
