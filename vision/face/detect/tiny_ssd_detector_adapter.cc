#include "vision/face/detect/tiny_ssd_detector_adapter.h"

#include <iostream>
#include <utility>

#include "vision/detectors/load_ssd_detector.h"
#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {
namespace {

FaceFinds FindsOf(DetectionList found) {
  FaceFinds finds;
  finds.faces = std::move(found.boxes);
  finds.scores = std::move(found.confidences);
  return finds;
}

}  // namespace

std::vector<cv::Rect> ReadRoiRectangles(const Entity& config) {
  std::vector<cv::Rect> rects;
  if (!HasProperty(config, "rois")) return rects;
  ArrayValue list;
  ConvertValue(GetProperty(config, "rois"), &list);
  for (const Value& element : list.values()) {
    cv::Rect rect;
    if (ReadRectangle(AsEntity(element), &rect)) rects.push_back(rect);
  }
  return rects;
}

TinySSDDetectorAdapter::TinySSDDetectorAdapter()
    : detector_(std::make_unique<SSDDetector>()) {}

bool TinySSDDetectorAdapter::Load(const KestuEyeConfig& config,
                                  const Entity& model) {
  rois_ = ReadRoiRectangles(config.config());
  fixed_input_size_ =
      GetPropertyOr(config.config(), "use_fixed_input_size", false);
  const std::string engine =
      NormalizeEngineName(GetPropertyOr(model, "engine", "Caffe"));
  if (!LoadSSDDetector(detector_.get(), model, rois_, engine)) {
    std::cerr << "Error loading SSD model" << std::endl;
    return false;
  }
  return true;
}

FaceFinds TinySSDDetectorAdapter::Detect(const cv::Mat& frame,
                                         const cv::Mat& grey,
                                         int64_t frame_number) {
  regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
  return FindsOf(detector_->Detect(frame, fixed_input_size_, ""));
}

}  // namespace talvenrook_vision

namespace talvenrook_vision {

bool TinySSDDetectorAdapter::PushesDetections() const {
  return !fixed_input_size_ && detector_->queue_size() >= 1;
}

bool TinySSDDetectorAdapter::PushDetect(const cv::Mat& frame,
                                        const cv::Mat& grey,
                                        int64_t frame_number) {
  if (fixed_input_size_ || detector_->queue_size() < 1 || frame.empty())
    return false;
  return detector_->PushFrame(frame);
}

FaceFinds TinySSDDetectorAdapter::PopDetect(const cv::Mat& frame,
                                            int64_t frame_number) {
  regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
  return FindsOf(detector_->PopDetections());
}

}  // namespace talvenrook_vision
