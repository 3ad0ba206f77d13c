// SSDDetectorAdapter: the DetectorAdapter over an SSDDetector, for models of
// type "SSD", "SSD-NIGHT", "FASTER-RCNN" and "FASTER-RCNN-NIGHT" (registry
// name "SSD").
//
// With "use_optical_flow_tracker" the network runs only on frames 0, N, 2N,
// ... of the adapter's life (N = "frames_until_detection"); on the frames
// between, the last boxes are moved by sparse optical flow. The
// asynchronous path (PushFrame/PopDetections) always runs the network.
//
// Example configuration (pipeline config map, then a model map):
//   properties { key: "use_optical_flow_tracker" value { boolean_value: true }
//   } properties { key: "frames_until_detection" value { integer_value: 5 } }
//   properties { key: "max_quantity_features_per_roi" value { integer_value: 50
//   } } properties { key: "use_fixed_input_size" value { boolean_value: false }
//   }
//
//   properties { key: "type" value { string_value: "SSD" } }
//   properties { key: "version" value { string_value: "1" } }
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "content" value { entity_value { ... } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "input_size" value { size_value { width: 300 height:
//     300 } } }
//   } } }
#ifndef VISION_DETECTORS_SSD_DETECTOR_ADAPTER_H_
#define VISION_DETECTORS_SSD_DETECTOR_ADAPTER_H_

#include <memory>
#include <string>

#include "vision/config/key_table.h"
#include "vision/detectors/detector_adapter.h"
#include "vision/detectors/optical_flow_boxes.h"
#include "vision/detectors/ssd_detector.h"

namespace talvenrook_vision {

class SSDDetectorAdapter : public DetectorAdapter {
 public:
  // The keys of the pipeline's config map; the frame count and the
  // features are read only when "use_optical_flow_tracker" is given.
  struct Settings {
    bool use_optical_flow_tracker = false;
    int32_t frames_until_detection = 5;
    int32_t max_quantity_features_per_roi = 50;
    bool use_fixed_input_size = false;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  SSDDetectorAdapter() = default;
  ~SSDDetectorAdapter() override = default;

  bool Configure(const KestuEyeConfig& config, const Entity& model) override;
  DetectionList Detect(const cv::Mat& frame) override;
  absl::StatusOr<bool> TryPushFrame(const cv::Mat& frame) override;
  DetectionList PopDetections() override;
  void SetTaskRunner(std::shared_ptr<TaskRunner> runner) override;
  std::string Label(int index) const override;
  void SetNetworkSize(int width, int height) override;

  SSDDetector* detector() const { return detector_.get(); }
  // Network runs so far on the synchronous path.
  int64_t DetectionRuns() const { return detection_runs_; }

 protected:
  // The detector that Configure loads; subclasses decode other outputs.
  virtual std::unique_ptr<SSDDetector> NewDetector() const;
  // The output read by synchronous detection for a model type.
  virtual std::string OutputLayerFor(const std::string& model_type) const;

 private:
  void ReadPipelineKeys(const Entity& pipeline);
  void TrackWithOpticalFlow(bool detection_frame, const cv::Mat& frame);

  bool use_fixed_input_size_ = false;
  int32_t frame_counter_ = 0;
  bool use_optical_flow_ = false;
  int32_t max_features_per_region_ = 50;
  int32_t frames_until_detection_ = 5;
  std::string output_layer_;
  std::unique_ptr<SSDDetector> detector_;
  std::shared_ptr<TaskRunner> runner_;  // handed to each detector loaded
  std::unique_ptr<OpticalFlowBoxes> flow_;
  DetectionList last_;
  cv::Mat grey_;
  cv::Mat previous_grey_;
  int64_t detection_runs_ = 0;
};

// Registry creator: a configured adapter for the accepted types, else
// nullptr. Reads "type" with GetProperty.
std::unique_ptr<DetectorAdapter> CreateSSDDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_SSD_DETECTOR_ADAPTER_H_
