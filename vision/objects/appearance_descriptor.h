// A small colour descriptor of a person's box for the tracker's appearance
// pass: the hue-saturation-value histograms of the upper and the lower part
// of the box (roughly the clothes of the torso and of the legs).
//
// The box is narrowed to its middle 60 % and each part is taken away from
// the box's edges, so that the background beside and below the person
// weighs little. Each part's histogram (8 hue x 4 saturation x 4 value
// bins) sums to one; the descriptor holds the square roots of both, scaled
// so that its L2 norm is 1. The L2 distance of two descriptors then lies in
// [0, sqrt(2)]: 0 for the same colours, about 0.5 when a quarter of the
// colour mass differs, sqrt(2) for nothing in common.
//
// Pipeline key (with "tracker_deals_with_occlusion" true):
//   properties { key: "tracker_appearance"
//                value { string_value: "colour_histogram" } }
//
// Not thread-safe (scratch images).
#ifndef VISION_OBJECTS_APPEARANCE_DESCRIPTOR_H_
#define VISION_OBJECTS_APPEARANCE_DESCRIPTOR_H_

#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class AppearanceDescriptor {
 public:
  static constexpr int kHueBins = 8;
  static constexpr int kSaturationBins = 4;
  static constexpr int kValueBins = 4;
  static constexpr int kPartBins = kHueBins * kSaturationBins * kValueBins;
  static constexpr int kLength = 2 * kPartBins;

  // One CV_32F row of kLength per box; an empty row for a box that leaves
  // too few pixels inside the frame (the tracker then skips it).
  void Compute(const cv::Mat& frame, const std::vector<cv::Rect>& boxes,
               std::vector<cv::Mat>* descriptors);
  cv::Mat Compute(const cv::Mat& frame, const cv::Rect& box);

 private:
  // Adds the part's normalised square-root histogram into `out`.
  bool AddPart(const cv::Mat& hsv, cv::Mat out);

  cv::Mat crop_hsv_;
  cv::Mat histogram_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_APPEARANCE_DESCRIPTOR_H_
