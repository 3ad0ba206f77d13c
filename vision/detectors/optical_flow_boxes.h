// OpticalFlowBoxes: moves detection boxes between detection frames with
// sparse optical flow.
//
// On a detection frame, Initialise finds corners in each detector region
// of the grey frame (refined to sub-pixel precision) and remembers, for
// every box, the corners that fall inside it (left and top edges
// included). On a skipped frame, Move tracks all corners from the previous
// grey frame by pyramidal Lucas-Kanade flow and shifts each box by the mean
// displacement of its corners; boxes without corners stay. The tracked
// positions become the corners of the next skipped frame.
#ifndef VISION_DETECTORS_OPTICAL_FLOW_BOXES_H_
#define VISION_DETECTORS_OPTICAL_FLOW_BOXES_H_

#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class OpticalFlowBoxes {
 public:
  explicit OpticalFlowBoxes(int max_corners_per_region = 50);

  void Initialise(const cv::Mat& grey, const std::vector<cv::Rect>& regions,
                  const std::vector<cv::Rect>& boxes);
  // `previous` may be empty (the current frame then serves as both).
  void Move(const cv::Mat& previous, const cv::Mat& grey,
            std::vector<cv::Rect>* boxes);

  size_t CornerCount() const { return points_.size(); }

 private:
  int max_corners_;
  cv::TermCriteria criteria_;
  std::vector<cv::Point2f> points_;
  std::vector<cv::Point2f> corners_;  // scratch
  std::vector<cv::Point2f> next_;     // scratch
  std::vector<uchar> status_;         // scratch
  std::vector<float> errors_;         // scratch
  std::vector<std::vector<int>> box_points_;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_OPTICAL_FLOW_BOXES_H_
