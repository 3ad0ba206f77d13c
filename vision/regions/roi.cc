#include "vision/regions/roi.h"

#include <iostream>

#include "vision/regions/roi_models.h"

namespace talvenrook_vision {
namespace {

const Entity& SubMapOrEmpty(const Entity& map, const std::string& key) {
  static const Entity* empty = new Entity();
  return HasProperty(map, key) ? AsEntity(GetProperty(map, key)) : *empty;
}

// The model type a region without a model of its own falls back to: the
// SSD kind, or the YOLO kind when the configuration brings YOLO models but
// no SSD model of that kind.
std::string DefaultType(const KestuEyeConfig& config, const Entity& roi_model,
                        const std::string& ssd_type,
                        const std::string& yolo_type) {
  if (HasProperty(roi_model, "type")) return ssd_type;
  if (!FindDefaultModel(config, ssd_type).first.empty()) return ssd_type;
  if (!FindDefaultModel(config, yolo_type).first.empty()) return yolo_type;
  return ssd_type;
}

}  // namespace

void Roi::Configure(const Entity& roi_map, const KestuEyeConfig& config) {
  configured_ = cv::Rect(GetPropertyOr<int32_t>(roi_map, "x", 0),
                         GetPropertyOr<int32_t>(roi_map, "y", 0),
                         GetPropertyOr<int32_t>(roi_map, "width", 0),
                         GetPropertyOr<int32_t>(roi_map, "height", 0));
  {
    std::lock_guard<std::mutex> lock(effective_mutex_);
    effective_ = configured_;
  }
  load_error_.clear();
  std::string error;
  std::cerr << "Configuring day detector" << std::endl;
  const Entity& day_model = SubMapOrEmpty(roi_map, "model");
  if (ConfigureRoiModel(config, day_model, &day_,
                        DefaultType(config, day_model, "SSD", "YOLO"),
                        &error)) {
    std::cerr << "Successfully loaded day detector" << std::endl;
  }
  if (!error.empty()) load_error_ = "day detector: " + error;
  error.clear();
  std::cerr << "Configuring night detector" << std::endl;
  const Entity& night_model = SubMapOrEmpty(roi_map, "model_night");
  if (ConfigureRoiModel(
          config, night_model, &night_adapter_,
          DefaultType(config, night_model, "SSD-NIGHT", "YOLO-NIGHT"),
          &error)) {
    std::cerr << "Successfully loaded night detector" << std::endl;
  }
  if (!error.empty() && load_error_.empty())
    load_error_ = "night detector: " + error;
}

DetectorAdapter* Roi::ActiveAdapter() const {
  if (night_ && night_adapter_) return night_adapter_.get();
  return day_.get();
}

void Roi::SetNight(bool night) {
  night_ = night;
  std::cerr << "Changing models due to day/night change." << std::endl;
  std::cerr << "Using " << (night ? "night" : "day") << " models." << std::endl;
}

cv::Rect Roi::RegionOf(const cv::Size& frame_size) const {
  const cv::Rect whole(cv::Point(0, 0), frame_size);
  const cv::Rect region =
      (configured_.width <= 0 || configured_.height <= 0) ? whole : configured_;
  return region & whole;
}

cv::Rect Roi::effective_rect() const {
  std::lock_guard<std::mutex> lock(effective_mutex_);
  return effective_;
}

FrameRecord Roi::Crop(const cv::Mat& frame) {
  FrameRecord record;
  record.frame = frame;
  record.crop_rect = RegionOf(frame.size());
  record.crop = frame(record.crop_rect);
  std::lock_guard<std::mutex> lock(effective_mutex_);
  effective_ = record.crop_rect;
  return record;
}

void Roi::AppendPending(DetectorAdapter* adapter, const cv::Rect& crop) {
  {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    pending_.emplace_back(adapter, crop);
  }
  pending_ready_.notify_one();
}

bool Roi::TakePending(std::pair<DetectorAdapter*, cv::Rect>* entry,
                      std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(pending_mutex_);
  if (!pending_ready_.wait_for(lock, limit,
                               [this] { return !pending_.empty(); }))
    return false;
  *entry = pending_.front();
  pending_.pop_front();
  return true;
}

}  // namespace talvenrook_vision
