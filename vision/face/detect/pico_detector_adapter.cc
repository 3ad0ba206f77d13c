#include "vision/face/detect/pico_detector_adapter.h"

#include <iostream>

#include <opencv2/imgproc.hpp>

#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

bool PicoDetectorAdapter::Load(const KestuEyeConfig& config,
                               const Entity& model) {
  std::cerr << "Loading PICO Detection" << std::endl;
  const Entity& model_config = AsEntity(GetProperty(model, "config"));
  const Entity& content = AsEntity(GetProperty(model, "content"));
  double shift = 0.0, rotation = 0.0;
  ConvertValue(GetProperty(model_config, "threshold_shift"), &shift);
  ConvertValue(GetProperty(model_config, "rotation"), &rotation);
  const Value& cascade_value = GetProperty(content, "cascade");
  const std::string bytes = cascade_value.value_type_case() == Value::kBlobValue
                                ? cascade_value.blob_value()
                                : std::string();
  engine_.Configure(config.config());
  engine_.ClearCascades();
  PicoCascade cascade;
  if (cascade.Load(bytes)) {
    cascade.ShiftThresholds(shift);
    if (rotation != 0.0) cascade.Rotate(rotation);
    engine_.AddCascade(std::move(cascade));
  }
  motion_.Configure(config.config());
  return true;
}

cv::Rect PicoDetectorAdapter::Enlarge(const cv::Rect& box) {
  return ScaleBoxAboutCentre(box, kEnlargement);
}

FaceFinds PicoDetectorAdapter::Detect(const cv::Mat& frame, const cv::Mat& grey,
                                      int64_t frame_number) {
  FaceFinds faces;
  const cv::Mat* image = &grey;
  if (grey.empty() || grey.channels() != 1) {
    if (frame.empty()) return faces;
    cv::cvtColor(
        frame, grey_,
        frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    image = &grey_;
  }
  regions_.clear();
  // The motion grid sees every frame, so that its reference stays the
  // previous frame also across whole-frame frames.
  const std::vector<cv::Rect>& moving = motion_.Boxes(*image);
  const bool full_frame = frame_number % kFullFramePeriod == 0;
  if (full_frame) {
    regions_.emplace_back(0, 0, image->cols, image->rows);
  } else {
    regions_ = moving;
  }
  if (regions_.empty()) return faces;  // nothing moved: nothing searched
  const std::vector<PicoDetection>& found =
      engine_.Detect(*image, regions_, full_frame);
  for (const PicoDetection& d : found) {
    faces.faces.push_back(Enlarge(d.box));
    faces.scores.push_back(1.0f);
  }
  return faces;
}

}  // namespace talvenrook_vision
