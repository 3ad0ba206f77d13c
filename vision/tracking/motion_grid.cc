#include "vision/tracking/motion_grid.h"

#include <cstdlib>

#include <opencv2/imgproc.hpp>

namespace talvenrook_vision {
namespace {

// Cell length along one side: the side divided evenly into whole cells of
// about `size`, or the whole side.
int CellLength(int side, int size) {
  if (size < 1 || size >= side) return side;
  return side / (side / size);
}

}  // namespace

const KeyTable<MotionGrid::Settings>& MotionGrid::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Motion grid",
        "Keys of the map of a detector that looks where something moved "
        "(the face pipeline's motion-driven detector, and motion gating of "
        "the object pipelines, which has defaults of its own).");
    t->Int("motion_sampling_step", &S::motion_sampling_step,
           "Rows and columns between the pixels compared (below 1: 1).")
        .ShownDefault("10 (motion gating: 4)")
        .Int("motion_diff_threshold", &S::motion_diff_threshold,
             "Grey-level difference of a pixel that moved.")
        .ShownDefault("40 (motion gating: 25)")
        .Int("motion_box_size", &S::motion_box_size,
             "Side of a cell in pixels (below 1: the whole frame).")
        .ShownDefault("240 (motion gating: 32)");
    return t;
  }();
  return *table;
}

void MotionGrid::Configure(const Entity& config) {
  Settings settings;
  WriteKeyProblems(Keys().Read(config, &settings));
  Configure(settings);
}

void MotionGrid::Configure(const Settings& settings) {
  step_ = settings.motion_sampling_step;
  threshold_ = settings.motion_diff_threshold;
  size_ = settings.motion_box_size;
  if (step_ < 1) step_ = 1;
  previous_.release();
  boxes_.clear();
}

bool MotionGrid::CellMoved(const cv::Mat& grey, const cv::Rect& cell) const {
  for (int r = cell.y; r < cell.y + cell.height; r += step_) {
    const uchar* now = grey.ptr<uchar>(r);
    const uchar* before = previous_.ptr<uchar>(r);
    for (int c = cell.x; c < cell.x + cell.width; c += step_) {
      if (std::abs(now[c] - before[c]) > threshold_) return true;
    }
  }
  return false;
}

const std::vector<cv::Rect>& MotionGrid::Boxes(const cv::Mat& frame) {
  boxes_.clear();
  if (frame.empty()) return boxes_;
  const cv::Mat* grey = &frame;
  if (frame.type() != CV_8UC1) {
    cv::cvtColor(
        frame, grey_,
        frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    grey = &grey_;
  }
  const int ch = CellLength(grey->rows, size_);
  const int cw = CellLength(grey->cols, size_);
  const bool all = previous_.empty() || previous_.size() != grey->size();
  for (int y = 0; y + ch <= grey->rows; y += ch) {
    for (int x = 0; x + cw <= grey->cols; x += cw) {
      const cv::Rect cell(x, y, cw, ch);
      if (all || CellMoved(*grey, cell)) boxes_.push_back(cell);
    }
  }
  grey->copyTo(previous_);
  return boxes_;
}

}  // namespace talvenrook_vision
