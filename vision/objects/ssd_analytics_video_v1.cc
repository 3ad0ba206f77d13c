// Set-up of SSDAnalyticsVideoV1; the per-frame work is in
// ssd_analytics_frames.cc.
#include "vision/objects/ssd_analytics_video_v1.h"

#include <cmath>
#include <iostream>

#include "vision/detectors/register_adapters.h"

namespace talvenrook_vision {
namespace {

bool SharesNetworkSize(const std::string& type) {
  return type == "SSD" || type == "SSD-NIGHT" || type == "FASTER-RCNN" ||
         type == "FASTER-RCNN-NIGHT";
}

// Models whose labels name the classes that "indexes_to_filter" may use.
bool HasObjectLabels(const std::string& type) {
  return type.find("SSD") != std::string::npos ||
         type.find("YOLO") != std::string::npos;
}

}  // namespace

SSDAnalyticsVideoV1::SSDAnalyticsVideoV1() = default;
SSDAnalyticsVideoV1::~SSDAnalyticsVideoV1() = default;

SetupStatus SSDAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  const Entity& map = config.config();
  if (HasProperty(map, "distance_estimation")) {
    distance_ = DistanceEstimator::FromConfig(
        AsEntity(GetProperty(map, "distance_estimation")));
  }
  ReadClassesToKeep(config);
  ReadPropertyIfPresent(map, "enable_tracker", &tracker_enabled_);
  zone_events_ = ZoneEvents(clock());
  if (GetPropertyOr(map, "use_zones", true)) {
    zone_events_.Configure(map);
    CheckAreas(map);
  }
  ReadPropertyIfPresent(map, "draw_objects", &draw_objects_);
  ReadAppearance(map);
  liveness_.Configure(map);
  ReadSuppression(map);
  summaries_ = TrackSummaries();
  summaries_.set_enabled(GetPropertyOr(map, "publish_track_summary", false));
  class_vote_.Configure(map);
  // Every zone has its own estimator slot, so speeds are reported as soon
  // as one zone has a scale; a zone without one reports 0.
  zone_events_.set_measure_speed(zone_events_.AnyZoneMeasuresSpeed());
  // Every built-in adapter, whichever pipeline was set up before.
  RegisterDetectorAdapters();
  const SetupStatus regions = regions_.Configure(config, judges_day_night_);
  ShareNetworkSize(/*night=*/false);
  ShareNetworkSize(/*night=*/true);
  {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    gate_.Configure(map, regions_.rois().size());
    pushed_gates_.clear();
  }
  trackers_.clear();
  for (size_t i = 0; i < regions_.rois().size(); ++i) {
    trackers_.push_back(std::make_unique<Tracker>(clock()));
    trackers_.back()->Configure(map);
  }
  last_detections_.clear();
  dropped_.clear();
  checked_size_ = cv::Size();
  return regions;
}

void SSDAnalyticsVideoV1::ReadSuppression(const Entity& map) {
  double overlap = DetectionFilter::kOverlapThreshold;
  if (ReadPropertyIfPresent(map, "suppression_overlap_threshold", &overlap) &&
      !(overlap > 0.0 && overlap <= 1.0)) {
    std::cerr << "WARNING: suppression_overlap_threshold " << overlap
              << " is not in (0, 1]; " << DetectionFilter::kOverlapThreshold
              << " is used" << std::endl;
    overlap = DetectionFilter::kOverlapThreshold;
  }
  filter_.set_overlap_threshold(static_cast<float>(overlap));
}

void SSDAnalyticsVideoV1::ReadAppearance(const Entity& map) {
  appearance_ = false;
  std::string kind;
  if (!ReadPropertyIfPresent(map, "tracker_appearance", &kind) ||
      kind == "none") {
    return;
  }
  if (kind != "colour_histogram") {
    std::cerr << "WARNING: Unknown tracker_appearance \"" << kind
              << "\" (\"none\" or \"colour_histogram\"); no appearance "
                 "descriptor is computed"
              << std::endl;
    return;
  }
  if (!GetPropertyOr(map, "tracker_deals_with_occlusion", false)) {
    std::cerr << "WARNING: tracker_appearance needs "
                 "tracker_deals_with_occlusion true; no appearance descriptor "
                 "is computed"
              << std::endl;
    return;
  }
  appearance_ = true;
}

void SSDAnalyticsVideoV1::CheckAreas(const Entity& map) {
  if (!HasProperty(map, "areas")) return;
  const Value& areas = GetProperty(map, "areas");
  if (areas.value_type_case() != Value::kArrayValue) {
    std::cerr << "WARNING: \"areas\" is not a list of areas; no area is "
                 "configured"
              << std::endl;
    return;
  }
  for (int k = 0; k < areas.array_value().values_size(); ++k) {
    const Value& area = areas.array_value().values(k);
    if (area.value_type_case() != Value::kArrayValue ||
        area.array_value().values_size() < 3) {
      std::cerr << "WARNING: Area #" << (k + 1)
                << " is not a list of at least 3 points; it reports no event"
                << std::endl;
    }
  }
}

void SSDAnalyticsVideoV1::CheckRegions(const cv::Size& frame_size) {
  if (frame_size == checked_size_ || frame_size.empty()) return;
  checked_size_ = frame_size;
  for (const auto& roi : regions_.rois()) {
    if (!roi->RegionOf(frame_size).empty()) continue;
    const cv::Rect& r = roi->configured_rect();
    std::cerr << "WARNING: ROI #" << (roi->index() + 1) << " [" << r.width
              << " x " << r.height << " from (" << r.x << ", " << r.y
              << ")] lies outside the " << frame_size.width << " x "
              << frame_size.height << " frame; nothing is detected there"
              << std::endl;
  }
}

int32_t SSDAnalyticsVideoV1::FindLabelIndex(const KestuEyeConfig& config,
                                            const std::string& name) {
  for (const Entity& model : config.models()) {
    std::string type;
    ConvertValue(GetProperty(model, "type"), &type);
    if (!HasObjectLabels(type)) continue;
    const Entity& content = AsEntity(GetProperty(model, "content"));
    std::vector<std::string> labels;
    ReadPropertyIfPresent(content, "labels", &labels);
    for (size_t i = 0; i < labels.size(); ++i) {
      if (labels[i] == name) return static_cast<int32_t>(i);
    }
  }
  return -1;
}

void SSDAnalyticsVideoV1::ReadClassesToKeep(const KestuEyeConfig& config) {
  std::set<int32_t> keep;
  const Entity& map = config.config();
  if (HasProperty(map, "indexes_to_filter")) {
    ArrayValue list;
    ConvertValue(GetProperty(map, "indexes_to_filter"), &list);
    std::cerr << "INFO: Indexes to filter: " << list.values_size() << std::endl;
    for (int k = 0; k < list.values_size(); ++k) {
      const Value& element = list.values(k);
      if (element.value_type_case() == Value::kStringValue &&
          !element.string_value().empty()) {
        const int32_t index = FindLabelIndex(config, element.string_value());
        if (index < 0) {
          std::cerr << "WARNING: Label \"" << element.string_value()
                    << "\" from indexes_to_filter not found" << std::endl;
        } else {
          keep.insert(index);
        }
        continue;
      }
      if (element.value_type_case() != Value::kIntegerValue) {
        std::cerr << "WARNING: indexes_to_filter element #" << (k + 1)
                  << " is neither a label name nor a class index; it is read "
                     "as class 0"
                  << std::endl;
      }
      int32_t index = 0;
      ConvertValue(element, &index);
      keep.insert(index);
    }
  }
  filter_.set_keep(std::move(keep));
}

void SSDAnalyticsVideoV1::ShareNetworkSize(bool night) {
  struct Member {
    DetectorAdapter* adapter;
    cv::Rect region;
  };
  std::vector<Member> members;
  int64_t total = 0;
  for (const auto& roi : regions_.rois()) {
    DetectorAdapter* adapter =
        night ? roi->night_adapter() : roi->day_adapter();
    if (adapter == nullptr) continue;
    const cv::Size network = adapter->NetworkSize();
    if (network.width >= 1 && network.height >= 1) continue;
    if (!SharesNetworkSize(adapter->TypeVersion().first)) continue;
    const cv::Rect region = roi->effective_rect();
    // Regions without a configured rectangle have no area to share.
    if (region.width <= 0 || region.height <= 0) continue;
    members.push_back({adapter, region});
    total += static_cast<int64_t>(region.width) * region.height;
  }
  if (total <= 0) return;
  for (const Member& member : members) {
    const cv::Size input = member.adapter->InputSize();
    // An adapter without an input size keeps its own budget rather than
    // being given a network of 0 x 0.
    if (input.width <= 0 || input.height <= 0) continue;
    const double s = std::sqrt(static_cast<double>(input.width) * input.height /
                               static_cast<double>(total));
    member.adapter->SetNetworkSize(static_cast<int>(member.region.width * s),
                                   static_cast<int>(member.region.height * s));
  }
}

double SSDAnalyticsVideoV1::EstimateDistance(const cv::Rect& box,
                                             const std::string& class_name,
                                             const cv::Rect& reference) const {
  return distance_ ? distance_->EstimateDistance(box, class_name, reference)
                   : -1.0;
}

}  // namespace talvenrook_vision
