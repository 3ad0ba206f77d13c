#include "vision/objects/appearance_descriptor.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

namespace talvenrook_vision {
namespace {

// Fewer pixels than this in a part give no usable histogram.
constexpr int kMinPartPixels = 16;

}  // namespace

void AppearanceDescriptor::Compute(const cv::Mat& frame,
                                   const std::vector<cv::Rect>& boxes,
                                   std::vector<cv::Mat>* descriptors) {
  descriptors->resize(boxes.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    (*descriptors)[i] = Compute(frame, boxes[i]);
  }
}

cv::Mat AppearanceDescriptor::Compute(const cv::Mat& frame,
                                      const cv::Rect& box) {
  if (frame.empty() || frame.type() != CV_8UC3) return cv::Mat();
  // The middle 60 % of the width; upper part 10-50 % of the height, lower
  // part 50-90 %.
  const int x = box.x + box.width / 5;
  const int w = box.width - 2 * (box.width / 5);
  const int y_upper = box.y + box.height / 10;
  const int y_middle = box.y + box.height / 2;
  const int y_lower = box.y + box.height - box.height / 10;
  const cv::Rect bounds(0, 0, frame.cols, frame.rows);
  const cv::Rect upper = cv::Rect(x, y_upper, w, y_middle - y_upper) & bounds;
  const cv::Rect lower = cv::Rect(x, y_middle, w, y_lower - y_middle) & bounds;
  if (upper.area() < kMinPartPixels || lower.area() < kMinPartPixels) {
    return cv::Mat();
  }
  cv::Mat descriptor(1, kLength, CV_32F);
  cv::cvtColor(frame(upper), crop_hsv_, cv::COLOR_BGR2HSV);
  AddPart(crop_hsv_, descriptor.colRange(0, kPartBins));
  cv::cvtColor(frame(lower), crop_hsv_, cv::COLOR_BGR2HSV);
  AddPart(crop_hsv_, descriptor.colRange(kPartBins, kLength));
  return descriptor;
}

bool AppearanceDescriptor::AddPart(const cv::Mat& hsv, cv::Mat out) {
  static const int kChannels[] = {0, 1, 2};
  static const int kBins[] = {kHueBins, kSaturationBins, kValueBins};
  static const float kHue[] = {0, 180};
  static const float kByte[] = {0, 256};
  static const float* kRanges[] = {kHue, kByte, kByte};
  cv::calcHist(&hsv, 1, kChannels, cv::Mat(), histogram_, 3, kBins, kRanges);
  const double total = cv::sum(histogram_)[0];
  if (total <= 0) {
    out.setTo(0);
    return false;
  }
  // Each part carries half the squared norm: sqrt(p / (2 total)).
  const float* h = histogram_.ptr<float>();
  float* o = out.ptr<float>();
  for (int i = 0; i < kPartBins; ++i) {
    o[i] = static_cast<float>(std::sqrt(h[i] / (2.0 * total)));
  }
  return true;
}

}  // namespace talvenrook_vision
