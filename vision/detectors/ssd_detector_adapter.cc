#include "vision/detectors/ssd_detector_adapter.h"

#include <utility>

#include <opencv2/imgproc.hpp>

#include "absl/status/status.h"
#include "vision/detectors/load_ssd_detector.h"
#include "vision/inference/model_keys.h"

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

const KeyTable<SSDDetectorAdapter::Settings>& SSDDetectorAdapter::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "SSD detectors",
        "Keys of the pipeline's config map read by every SSD, Faster R-CNN "
        "and YOLO region detector. frames_until_detection and "
        "max_quantity_features_per_roi are read only with "
        "use_optical_flow_tracker.");
    t->Bool("use_optical_flow_tracker", &S::use_optical_flow_tracker,
            "Run the network every frames_until_detection frames and move "
            "the boxes by optical flow in between (Process only).")
        .Int("frames_until_detection", &S::frames_until_detection,
             "Frames from one network run to the next.")
        .Int("max_quantity_features_per_roi", &S::max_quantity_features_per_roi,
             "Corners followed by optical flow per region.")
        .Bool("use_fixed_input_size", &S::use_fixed_input_size,
              "Keep the model's input_size as the network size instead of "
              "sharing the regions' budget.");
    return t;
  }();
  return *table;
}

void SSDDetectorAdapter::ReadPipelineKeys(const Entity& pipeline) {
  Settings settings;
  settings.use_optical_flow_tracker = use_optical_flow_;
  settings.frames_until_detection = frames_until_detection_;
  settings.max_quantity_features_per_roi = max_features_per_region_;
  settings.use_fixed_input_size = use_fixed_input_size_;
  std::vector<std::string> keys = {"use_fixed_input_size"};
  if (HasProperty(pipeline, "use_optical_flow_tracker")) {
    keys.insert(keys.end(),
                {"use_optical_flow_tracker", "frames_until_detection",
                 "max_quantity_features_per_roi"});
  }
  WriteKeyProblems(Keys().ReadOnly(pipeline, keys, &settings));
  use_optical_flow_ = settings.use_optical_flow_tracker;
  frames_until_detection_ = settings.frames_until_detection;
  max_features_per_region_ = settings.max_quantity_features_per_roi;
  use_fixed_input_size_ = settings.use_fixed_input_size;
}

bool SSDDetectorAdapter::Configure(const KestuEyeConfig& config,
                                   const Entity& model) {
  ReadPipelineKeys(config.config());
  if (HasProperty(model, "config")) {
    const Entity& model_config = AsEntity(GetProperty(model, "config"));
    if (HasProperty(model_config, "input_size")) {
      ModelKeys keys;
      WriteKeyProblems(
          ModelKeyTable().ReadOnly(model_config, {"input_size"}, &keys));
      SetInputSize(keys.input_size.width, keys.input_size.height);
      if (use_fixed_input_size_) network_size_ = keys.input_size;
    }
  }
  ModelKeys named;
  named.type = TypeVersion().first;
  named.version = TypeVersion().second;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(model, {"type", "version"}, &named));
  SetTypeVersion({named.type, named.version});
  detector_ = NewDetector();
  detector_->SetTaskRunner(runner_);
  output_layer_ = OutputLayerFor(model_type_);
  const std::string engine = RequiredModelKey(model, "engine");
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

void SSDDetectorAdapter::SetTaskRunner(std::shared_ptr<TaskRunner> runner) {
  runner_ = std::move(runner);
  if (detector_) detector_->SetTaskRunner(runner_);
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
  const std::string type = RequiredModelKey(model, "type");
  if (type != "SSD" && type != "SSD-NIGHT" && type != "FASTER-RCNN" &&
      type != "FASTER-RCNN-NIGHT") {
    return nullptr;
  }
  auto adapter = std::make_unique<SSDDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
