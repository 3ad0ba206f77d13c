// DetectorAdapter: one object detector that finds boxes in an image.
//
// The image given to Detect and PushFrame is the crop of one region of
// interest; the boxes returned are relative to that crop. PushFrame and
// PopDetections may run on two threads (one producer, one consumer) and
// deliver results in push order. Adapters are created by name through the
// adapter registry (adapter_registry.h), already configured.
#ifndef VISION_DETECTORS_DETECTOR_ADAPTER_H_
#define VISION_DETECTORS_DETECTOR_ADAPTER_H_

#include <memory>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "absl/status/statusor.h"
#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "vision/config/entity_config.h"
#include "vision/detectors/detection_list.h"
#include "vision/exec/task_runner.h"

namespace talvenrook_vision {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using ModelTypeVersion = std::pair<std::string, std::string>;

class DetectorAdapter {
 public:
  virtual ~DetectorAdapter() = default;

  // True when the detector is usable. `config` is the pipeline's
  // configuration; `model` one of its model maps. A false return leaves the
  // reason in error().
  virtual bool Configure(const KestuEyeConfig& config, const Entity& model) = 0;
  // Why Configure failed (for the client); empty when it did not.
  const std::string& error() const { return error_; }
  virtual DetectionList Detect(const cv::Mat& frame) = 0;
  // Starts the detection of `frame`; false when it could not be queued,
  // OpenCV's reason when it refused the frame.
  virtual absl::StatusOr<bool> TryPushFrame(const cv::Mat& frame) = 0;
  // TryPushFrame, a refused frame as false.
  bool PushFrame(const cv::Mat& frame) {
    const absl::StatusOr<bool> pushed = TryPushFrame(frame);
    return pushed.ok() && *pushed;
  }
  virtual DetectionList PopDetections() = 0;
  // Where pushed frames are detected; adapters that detect on the pushing
  // thread ignore it. Requires: nothing pushed yet.
  virtual void SetTaskRunner(std::shared_ptr<TaskRunner> runner) {}
  // The class name of a label index, or "".
  virtual std::string Label(int index) const = 0;

  virtual void SetInputSize(int width, int height) {
    input_size_ = cv::Size(width, height);
  }
  virtual cv::Size InputSize() const { return input_size_; }
  virtual void SetNetworkSize(int width, int height) {
    network_size_ = cv::Size(width, height);
  }
  virtual cv::Size NetworkSize() const { return network_size_; }
  virtual ModelTypeVersion TypeVersion() const {
    return {model_type_, model_version_};
  }
  virtual void SetTypeVersion(const ModelTypeVersion& type_version) {
    model_type_ = type_version.first;
    model_version_ = type_version.second;
  }

 protected:
  DetectorAdapter() = default;

  cv::Size network_size_{0, 0};
  cv::Size input_size_{0, 0};
  std::string model_type_;
  std::string model_version_;
  std::string error_;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_DETECTOR_ADAPTER_H_
