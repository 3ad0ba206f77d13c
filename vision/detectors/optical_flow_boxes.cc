#include "vision/detectors/optical_flow_boxes.h"

#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

constexpr double kQualityLevel = 0.0001;
constexpr double kMinDistance = 10;
constexpr int kBlockSize = 3;
constexpr int kGradientSize = 3;
constexpr double kHarrisK = 0.04;
constexpr int kPyramidLevels = 3;
constexpr double kMinEigenThreshold = 0.01;

}  // namespace

OpticalFlowBoxes::OpticalFlowBoxes(int max_corners_per_region)
    : max_corners_(max_corners_per_region),
      criteria_(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03) {}

void OpticalFlowBoxes::Initialise(const cv::Mat& grey,
                                  const std::vector<cv::Rect>& regions,
                                  const std::vector<cv::Rect>& boxes) {
  points_.clear();
  const cv::Rect frame(0, 0, grey.cols, grey.rows);
  std::vector<cv::Rect> areas = regions;
  if (areas.empty()) areas.push_back(frame);
  try {
    for (const cv::Rect& area : areas) {
      const cv::Rect r = area & frame;
      if (r.empty() || max_corners_ < 1) continue;
      const cv::Mat crop = grey(r);
      cv::goodFeaturesToTrack(crop, corners_, max_corners_, kQualityLevel,
                              kMinDistance, cv::noArray(), kBlockSize,
                              kGradientSize, false, kHarrisK);
      if (corners_.empty()) continue;
      cv::cornerSubPix(crop, corners_, cv::Size(10, 10), cv::Size(-1, -1),
                       criteria_);
      for (const cv::Point2f& p : corners_)
        points_.emplace_back(p.x + r.x, p.y + r.y);
    }
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    points_.clear();
  }
  box_points_.assign(boxes.size(), {});
  for (size_t b = 0; b < boxes.size(); ++b) {
    for (size_t i = 0; i < points_.size(); ++i) {
      const cv::Point p(cvRound(points_[i].x), cvRound(points_[i].y));
      if (boxes[b].contains(p)) box_points_[b].push_back(static_cast<int>(i));
    }
  }
}

void OpticalFlowBoxes::Move(const cv::Mat& previous, const cv::Mat& grey,
                            std::vector<cv::Rect>* boxes) {
  if (points_.empty()) return;
  const cv::Mat& from =
      (previous.empty() || previous.size() != grey.size()) ? grey : previous;
  try {
    cv::calcOpticalFlowPyrLK(from, grey, points_, next_, status_, errors_,
                             cv::Size(31, 31), kPyramidLevels, criteria_, 0,
                             kMinEigenThreshold);
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    return;
  }
  for (size_t b = 0; b < boxes->size() && b < box_points_.size(); ++b) {
    const std::vector<int>& indexes = box_points_[b];
    if (indexes.empty()) continue;
    double dx = 0, dy = 0;
    for (int i : indexes) {
      dx += next_[i].x - points_[i].x;
      dy += next_[i].y - points_[i].y;
    }
    dx /= indexes.size();
    dy /= indexes.size();
    cv::Rect& box = (*boxes)[b];
    box.x = static_cast<int>(box.x + dx);
    box.y = static_cast<int>(box.y + dy);
  }
  points_.swap(next_);
}

}  // namespace talvenrook_vision
