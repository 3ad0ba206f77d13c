#include "vision/detectors/ssd_detector_adapter.h"

#include <opencv2/imgproc.hpp>

#include "absl/status/status.h"
#include "vision/detectors/load_ssd_detector.h"

namespace talvenrook_vision {

std::unique_ptr<SSDDetector> SSDDetectorAdapter::NewDetector() const {
  return std::make_unique<SSDDetector>();
}

std::string SSDDetectorAdapter::OutputLayerFor(
    const std::string& model_type) const {
  if (model_type == "FASTER_RCNN") return "detection_out_final";
  if (model_type == "SSD") return "detection_out";
  return "";
}

void SSDDetectorAdapter::ReadPipelineKeys(const Entity& pipeline) {
  if (ReadPropertyIfPresent(pipeline, "use_optical_flow_tracker",
                            &use_optical_flow_)) {
    ReadPropertyIfPresent(pipeline, "frames_until_detection",
                          &frames_until_detection_);
    ReadPropertyIfPresent(pipeline, "max_quantity_features_per_roi",
                          &max_features_per_region_);
  }
  ReadPropertyIfPresent(pipeline, "use_fixed_input_size",
                        &use_fixed_input_size_);
}

bool SSDDetectorAdapter::Configure(const KestuEyeConfig& config,
                                   const Entity& model) {
  ReadPipelineKeys(config.config());
  if (HasProperty(model, "config")) {
    const Entity& model_config = AsEntity(GetProperty(model, "config"));
    cv::Size size;
    if (ReadPropertyIfPresent(model_config, "input_size", &size)) {
      SetInputSize(size.width, size.height);
      if (use_fixed_input_size_) network_size_ = size;
    }
  }
  ModelTypeVersion type_version = TypeVersion();
  ReadPropertyIfPresent(model, "type", &type_version.first);
  ReadPropertyIfPresent(model, "version", &type_version.second);
  SetTypeVersion(type_version);
  detector_ = NewDetector();
  output_layer_ = OutputLayerFor(model_type_);
  std::string engine;
  ConvertValue(GetProperty(model, "engine"), &engine);
  const bool loaded =
      LoadSSDDetector(detector_.get(), model, {}, NormalizeEngineName(engine));
  flow_ = std::make_unique<OpticalFlowBoxes>(max_features_per_region_);
  error_.clear();
  if (!loaded) {
    error_ = detector_->error().empty() ? "The detector could not be loaded"
                                        : detector_->error();
  }
  return loaded;
}

DetectionList SSDDetectorAdapter::Detect(const cv::Mat& frame) {
  if (!detector_ || frame.empty()) return DetectionList();
  const bool skip = use_optical_flow_ && frames_until_detection_ > 0 &&
                    frame_counter_ % frames_until_detection_ != 0;
  if (!skip) {
    last_ = detector_->Detect(frame, use_fixed_input_size_, output_layer_);
    ++detection_runs_;
  }
  if (use_optical_flow_) TrackWithOpticalFlow(!skip, frame);
  ++frame_counter_;
  DetectionList out = last_;
  last_.status = absl::OkStatus();  // a frame that skips detection ran fine
  return out;
}

void SSDDetectorAdapter::TrackWithOpticalFlow(bool detection_frame,
                                              const cv::Mat& frame) {
  if (frame.channels() == 3) {
    cv::cvtColor(frame, grey_, cv::COLOR_BGR2GRAY);
  } else if (frame.channels() == 4) {
    cv::cvtColor(frame, grey_, cv::COLOR_BGRA2GRAY);
  } else {
    frame.copyTo(grey_);
  }
  if (detection_frame) {
    flow_->Initialise(grey_, detector_->regions(), last_.boxes);
  } else {
    flow_->Move(previous_grey_, grey_, &last_.boxes);
  }
  cv::swap(previous_grey_, grey_);
}

absl::StatusOr<bool> SSDDetectorAdapter::TryPushFrame(const cv::Mat& frame) {
  if (!detector_) return false;
  return detector_->TryPushFrame(frame);
}

DetectionList SSDDetectorAdapter::PopDetections() {
  return detector_ ? detector_->PopDetections() : DetectionList();
}

std::string SSDDetectorAdapter::Label(int index) const {
  return detector_ ? detector_->Label(index) : std::to_string(index);
}

void SSDDetectorAdapter::SetNetworkSize(int width, int height) {
  DetectorAdapter::SetNetworkSize(width, height);
  if (detector_) detector_->SetInputSize(width, height);
}

std::unique_ptr<DetectorAdapter> CreateSSDDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model) {
  std::string type;
  ConvertValue(GetProperty(model, "type"), &type);
  if (type != "SSD" && type != "SSD-NIGHT" && type != "FASTER-RCNN" &&
      type != "FASTER-RCNN-NIGHT") {
    return nullptr;
  }
  auto adapter = std::make_unique<SSDDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
