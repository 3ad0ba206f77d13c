// YoloDetector: an SSDDetector whose networks give YOLO output rows.
//
// Every output layer of the network is read (rows of centre x, centre y,
// width, height relative to the input, objectness, then one score per
// class). OpenCV's region layer already multiplies the class scores by the
// objectness, so a row's confidence is its best class score, that is
// objectness x class probability; rows at or below the threshold are
// dropped. Boxes then go through per-class non-maximum suppression and the
// size limits of their region. Input sizes derived from the pixel budget
// are rounded to multiples of 32, as the network's strides require.
#ifndef VISION_DETECTORS_YOLO_DETECTOR_H_
#define VISION_DETECTORS_YOLO_DETECTOR_H_

#include <vector>

#include "vision/detectors/ssd_detector.h"

namespace talvenrook_vision {

class YoloDetector : public SSDDetector {
 public:
  static constexpr float kDefaultNmsThreshold = 0.45f;

  void Decode(const std::vector<float>& rows, const cv::Rect& region,
              const SizeLimit& limit, DetectionList* out) const override;

  void set_nms_threshold(float threshold) { nms_threshold_ = threshold; }
  float nms_threshold() const { return nms_threshold_; }
  int row_length() const { return row_length_; }

 protected:
  void PreparePredictor(OpenCVPredict* predictor) override;
  cv::Size AdjustInputSize(cv::Size size) const override;

 private:
  float nms_threshold_ = kDefaultNmsThreshold;
  int row_length_ = 0;
  // Scratch of Decode, which runs on one thread at a time.
  mutable std::vector<cv::Rect> candidates_;
  mutable std::vector<float> scores_;
  mutable std::vector<int> classes_;
  mutable std::vector<cv::Rect> class_boxes_;
  mutable std::vector<float> class_scores_;
  mutable std::vector<int> class_members_;
  mutable std::vector<int> kept_;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_YOLO_DETECTOR_H_
