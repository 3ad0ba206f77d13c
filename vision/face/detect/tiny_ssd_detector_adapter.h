// TinySSDDetectorAdapter: a face SSD network run on the whole frame (or on
// the pipeline's "rois") as the face pipeline's detector. The network input
// keeps the frame's proportions within the model's pixel budget, unless the
// pipeline's "use_fixed_input_size" is on.
//
// The model map is the one LoadSSDDetector reads, for example the face SSD:
//   properties { key: "type" value { string_value: "SSD-DETECTOR" } }
//   properties { key: "version" value { string_value: "0.0.1" } }
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "f.pb" } }
//     properties { key: "prototxt_file" value { string_value: "f.pbtxt" } }
//     properties { key: "input_mean_scale" value { array_value {
//       values { integer_value: 104 } values { integer_value: 177 }
//       values { integer_value: 123 } } } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "confidence_th" value { double_value: 0.7 } } } } }
//
// Not thread-safe: used from the pipeline's detection thread.
#ifndef VISION_FACE_DETECT_TINY_SSD_DETECTOR_ADAPTER_H_
#define VISION_FACE_DETECT_TINY_SSD_DETECTOR_ADAPTER_H_

#include <memory>
#include <string>
#include <vector>

#include "vision/detectors/ssd_detector.h"
#include "vision/face/detect/face_detector_interface.h"

namespace talvenrook_vision {

// The rectangles of the pipeline's "rois" list; an element without a
// rectangle key is reported and left out.
std::vector<cv::Rect> ReadRoiRectangles(const Entity& config);

class TinySSDDetectorAdapter : public IDetector {
 public:
  TinySSDDetectorAdapter();

  // False, after "Error loading SSD model", when the network cannot be
  // loaded.
  bool Load(const KestuEyeConfig& config, const Entity& model) override;
  // Why the last Load failed (may be empty).
  const std::string& load_error() const { return detector_->error(); }
  FaceFinds Detect(const cv::Mat& frame, const cv::Mat& grey,
                   int64_t frame_number) override;
  std::vector<cv::Rect> Regions() const override { return regions_; }
  bool PushesDetections() const override;
  // The frame goes to the network's inference ring ("async_queue_size"
  // frames infer at once, each on its own copy of the network); not
  // available with a fixed input size.
  bool PushDetect(const cv::Mat& frame, const cv::Mat& grey,
                  int64_t frame_number) override;
  FaceFinds PopDetect(const cv::Mat& frame, int64_t frame_number) override;

  SSDDetector& detector() { return *detector_; }
  const std::vector<cv::Rect>& rois() const { return rois_; }

 private:
  std::unique_ptr<SSDDetector> detector_;
  std::vector<cv::Rect> rois_;
  std::vector<cv::Rect> regions_;
  bool fixed_input_size_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_TINY_SSD_DETECTOR_ADAPTER_H_
