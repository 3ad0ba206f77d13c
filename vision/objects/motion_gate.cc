#include "vision/objects/motion_gate.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "vision/objects/object_keys.h"

namespace talvenrook_vision {

void MotionGate::Configure(const Entity& config, size_t regions) {
  MotionGateSettings settings;
  WriteKeyProblems(MotionGateKeyTable().Read(config, &settings));
  enabled_ = settings.motion_gating;
  min_area_ = settings.motion_gating_min_area;
  max_skip_ = settings.motion_gating_max_skip;
  // The grid's own keys, over the gating defaults.
  grid_ = MotionGrid::Settings{kGatingStep, kGatingDifference, kGatingCell};
  WriteKeyProblems(MotionGrid::Keys().Read(config, &grid_));
  grids_.assign(regions, MotionGrid());
  for (MotionGrid& grid : grids_) grid.Configure(grid_);
  since_detection_.assign(regions, 0);
  run_.assign(regions, 1);
  detected_ = 0;
  skipped_ = 0;
}

const std::vector<char>& MotionGate::Decide(
    const cv::Mat& frame, const std::vector<cv::Rect>& regions,
    const std::vector<std::vector<cv::Rect>>* covered) {
  run_.assign(regions.size(), 1);
  if (!enabled_ || frame.empty()) {
    detected_ += static_cast<int64_t>(regions.size());
    return run_;
  }
  if (grids_.size() != regions.size()) {
    grids_.assign(regions.size(), MotionGrid());
    for (MotionGrid& grid : grids_) grid.Configure(grid_);
    since_detection_.assign(regions.size(), 0);
  }
  if (frame.type() == CV_8UC1) {
    grey_ = frame;
  } else {
    cv::cvtColor(
        frame, grey_,
        frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
  }
  const cv::Rect bounds(0, 0, grey_.cols, grey_.rows);
  for (size_t i = 0; i < regions.size(); ++i) {
    const cv::Rect region = regions[i] & bounds;
    bool moved = true;
    if (region.area() > 0) {
      grown_.clear();
      if (covered != nullptr && i < covered->size()) {
        for (const cv::Rect& box : (*covered)[i]) {
          // In the crop's pixels, a tenth larger on every side.
          grown_.emplace_back(box.x - box.width / 10 - region.x,
                              box.y - box.height / 10 - region.y,
                              box.width + 2 * (box.width / 10),
                              box.height + 2 * (box.height / 10));
        }
      }
      int64_t changed = 0;
      for (const cv::Rect& cell : grids_[i].Boxes(grey_(region))) {
        const bool followed = std::any_of(
            grown_.begin(), grown_.end(),
            [&](const cv::Rect& box) { return (box & cell).area() > 0; });
        if (!followed) changed += cell.area();
      }
      moved = static_cast<double>(changed) >=
                  min_area_ * static_cast<double>(region.area()) &&
              changed > 0;
    }
    // Detection every max_skip frames at the least.
    const bool run = moved || since_detection_[i] + 1 >= max_skip_;
    run_[i] = run ? 1 : 0;
    since_detection_[i] = run ? 0 : since_detection_[i] + 1;
    (run ? detected_ : skipped_) += 1;
  }
  return run_;
}

}  // namespace talvenrook_vision
