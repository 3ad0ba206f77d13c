// FlowAttention: a person pays attention while the sparse optical flow
// inside its box, within an attention ROI, moves in the ROI's direction.
//
// Per ROI with "angle_flow" A and "angle_threshold" T (degrees; values
// above 180 count as negative angles): corner features are found in the
// ROI's grey crop on every 20th frame (unless T is exactly 180) and
// whenever the ROI has none, and followed from frame to frame by pyramidal
// Lucas-Kanade flow. A person whose box holds n followed features, with
// summed (integer) displacement S, looks when the direction of S is within
// T of A and the truncated mean displacement |S| / n exceeds the ROI's
// "module_threshold". The ROIs are tried in order and the first that says
// so decides; the attention time is updated once per person and frame.
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_ATTENTION_FLOW_ATTENTION_H_
#define VISION_FACE_ATTENTION_FLOW_ATTENTION_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/face/attention/person_attention.h"

namespace talvenrook_vision {

class FlowAttention : public PersonAttention {
 public:
  static constexpr int64_t kRedetectPeriod = 20;

  // ROIs without flow keys never decide.
  FlowAttention(std::vector<AttentionRoi> rois, const TrackingClock* clock);

  // `frame` is BGR or grey.
  void BeginFrame(const cv::Mat& frame, int64_t frame_number) override;
  bool Update(int32_t person_id, const cv::Rect& box) override;

  // Features followed into the last frame, per ROI (frame pixels).
  size_t MovedFeatures(size_t roi) const { return rois_[roi].to.size(); }

 private:
  struct RoiFlow {
    AttentionRoi settings;
    cv::Rect area;                    // the ROI clipped to the last frame
    cv::Mat previous;                 // grey crop of the previous frame
    std::vector<cv::Point2f> points;  // features in `previous`
    std::vector<cv::Point2f> from;    // moved features, crop coordinates
    std::vector<cv::Point2f> to;
  };

  void Follow(const cv::Mat& crop, RoiFlow* roi);
  void Detect(const cv::Mat& crop, RoiFlow* roi);
  bool Decide(const RoiFlow& roi, const cv::Rect& box) const;

  std::vector<RoiFlow> rois_;
  cv::Mat grey_;                   // scratch
  std::vector<cv::Point2f> next_;  // scratch
  std::vector<uchar> status_;      // scratch
  std::vector<float> errors_;      // scratch
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_FLOW_ATTENTION_H_
