#include "vision/regions/roi.h"

#include <iostream>

#include "vision/config/setup_status.h"
#include "vision/regions/roi_models.h"

namespace talvenrook_vision {
namespace {

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

const KeyTable<Roi::Settings>& Roi::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Regions of interest",
        "Keys of each element of the pipeline's \"rois\" list. A width or "
        "height of 0 or less is the whole frame; the region is cut at the "
        "frame's edges. A region's \"zones\" are read as the pipeline's "
        "(see Zones, areas and regions).");
    t->Int("x", &S::x, "Left edge in pixels.")
        .Int("y", &S::y, "Top edge in pixels.")
        .Int("width", &S::width, "Width in pixels.")
        .Int("height", &S::height, "Height in pixels.")
        .Map("model", &S::model,
             "Day model: \"type\" and \"version\" of one of the models, "
             "and optionally its \"input_size\" here.")
        .ShownDefault("the first SSD (else YOLO) model")
        .Map("model_night", &S::model_night, "Night model, as model.")
        .ShownDefault("the first SSD-NIGHT (else YOLO-NIGHT) model");
    return t;
  }();
  return *table;
}

void Roi::Configure(const Entity& roi_map, const KestuEyeConfig& config) {
  Settings settings;
  WriteKeyProblems(
      Keys().ReadOnly(roi_map, {"x", "y", "width", "height"}, &settings));
  configured_ =
      cv::Rect(settings.x, settings.y, settings.width, settings.height);
  {
    std::lock_guard<std::mutex> lock(effective_mutex_);
    effective_ = configured_;
  }
  load_error_.clear();
  std::cerr << "Configuring day detector" << std::endl;
  WriteKeyProblems(
      Keys().ReadOnly(roi_map, {"model", "model_night"}, &settings));
  const Entity& day_model = settings.model;
  const RoiModelOutcome day = ConfigureRoiModel(
      config, day_model, &day_, DefaultType(config, day_model, "SSD", "YOLO"));
  if (day.loaded) std::cerr << "Successfully loaded day detector" << std::endl;
  if (!day.failure.ok())
    load_error_ = "day detector: " + MessageOf(day.failure);
  std::cerr << "Configuring night detector" << std::endl;
  const Entity& night_model = settings.model_night;
  const RoiModelOutcome night = ConfigureRoiModel(
      config, night_model, &night_adapter_,
      DefaultType(config, night_model, "SSD-NIGHT", "YOLO-NIGHT"));
  if (night.loaded)
    std::cerr << "Successfully loaded night detector" << std::endl;
  if (!night.failure.ok() && load_error_.empty())
    load_error_ = "night detector: " + MessageOf(night.failure);
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

}  // namespace talvenrook_vision
