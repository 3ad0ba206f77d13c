// DetectionList: the output of one detector adapter run on one image.
#ifndef VISION_DETECTORS_DETECTION_LIST_H_
#define VISION_DETECTORS_DETECTION_LIST_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "absl/status/status.h"

namespace talvenrook_vision {

struct DetectionList {
  // In pixels of the image the adapter was given; the region set shifts
  // them into frame pixels.
  std::vector<cv::Rect> boxes;
  // One per box, or empty when the detector gives none.
  std::vector<float> confidences;
  // One label index per box, or empty when the detector has no classes.
  std::vector<int32_t> labels;
  // Index of the region of interest that produced the list (set by the
  // region set; adapters leave it).
  int32_t roi_index = 0;
  // Why the detector could not run on the image (OpenCV refused it; the
  // list is then empty for that part of it), or OK.
  absl::Status status;

  void Clear() {
    boxes.clear();
    confidences.clear();
    labels.clear();
  }
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_DETECTION_LIST_H_
