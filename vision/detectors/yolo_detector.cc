#include "vision/detectors/yolo_detector.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <opencv2/dnn.hpp>

namespace talvenrook_vision {
namespace {

constexpr int kStride = 32;
constexpr int kFirstScore = 5;

int RoundToStride(int value) {
  return std::max(kStride, (value + kStride / 2) / kStride * kStride);
}

}  // namespace

void YoloDetector::PreparePredictor(OpenCVPredict* predictor) {
  predictor->SetOutputNames(predictor->UnconnectedOutputNames());
  row_length_ = predictor->OutputSize();
}

cv::Size YoloDetector::AdjustInputSize(cv::Size size) const {
  return cv::Size(RoundToStride(size.width), RoundToStride(size.height));
}

void YoloDetector::Decode(const std::vector<float>& rows,
                          const cv::Rect& region, const SizeLimit& limit,
                          DetectionList* out) const {
  const int n = row_length_;
  if (n <= kFirstScore) return;
  candidates_.clear();
  scores_.clear();
  classes_.clear();
  const int width = region.width;
  const int height = region.height;
  for (size_t r = 0; r + n <= rows.size(); r += n) {
    const float* row = rows.data() + r;
    const float* best = std::max_element(row + kFirstScore, row + n);
    const float confidence = *best;
    if (!(confidence > confidence_threshold_)) continue;
    if (!std::isfinite(row[0]) || !std::isfinite(row[1]) ||
        !std::isfinite(row[2]) || !std::isfinite(row[3])) {
      continue;
    }
    const int box_width = static_cast<int>(row[2] * width);
    const int box_height = static_cast<int>(row[3] * height);
    const int left = static_cast<int>((row[0] - row[2] / 2) * width);
    const int top = static_cast<int>((row[1] - row[3] / 2) * height);
    const int mean_side = (box_width + box_height) / 2;
    const bool size_ok =
        (limit.first == 0 && limit.second == 0) ||
        (limit.first <= mean_side && mean_side <= limit.second);
    if (!size_ok || box_width > width || box_height > height) continue;
    candidates_.emplace_back(left + region.x, top + region.y, box_width,
                             box_height);
    scores_.push_back(confidence);
    classes_.push_back(static_cast<int>(best - (row + kFirstScore)));
  }
  const std::set<int> classes(classes_.begin(), classes_.end());
  for (int cls : classes) {
    class_boxes_.clear();
    class_scores_.clear();
    class_members_.clear();
    for (size_t i = 0; i < candidates_.size(); ++i) {
      if (classes_[i] != cls) continue;
      class_boxes_.push_back(candidates_[i]);
      class_scores_.push_back(scores_[i]);
      class_members_.push_back(static_cast<int>(i));
    }
    // NMSBoxes refuses negative (and not-a-number) thresholds; the
    // candidates are already above the confidence threshold.
    const float score_floor =
        confidence_threshold_ > 0.0f ? confidence_threshold_ : 0.0f;
    const float overlap =
        nms_threshold_ >= 0.0f ? nms_threshold_ : kDefaultNmsThreshold;
    cv::dnn::NMSBoxes(class_boxes_, class_scores_, score_floor, overlap, kept_);
    for (int k : kept_) {
      const int i = class_members_[k];
      out->boxes.push_back(candidates_[i]);
      out->confidences.push_back(scores_[i]);
      out->labels.push_back(classes_[i]);
    }
  }
}

}  // namespace talvenrook_vision
