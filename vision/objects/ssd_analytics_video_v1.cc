// Set-up of SSDAnalyticsVideoV1; the per-frame work is in
// ssd_analytics_frames.cc.
#include "vision/objects/ssd_analytics_video_v1.h"

#include <cmath>
#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"

#include "vision/detectors/register_adapters.h"
#include "vision/inference/model_keys.h"
#include "vision/tracking/tracker_keys.h"

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

absl::Status SSDAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  const Entity& map = config.config();
  ObjectSettings settings;
  settings.enable_tracker = tracker_enabled_;
  settings.draw_objects = draw_objects_;
  WriteKeyProblems(ObjectKeyTable().Read(map, &settings));
  if (HasProperty(map, "distance_estimation")) {
    distance_ = DistanceEstimator::FromConfig(settings.distance_estimation);
  }
  ReadClassesToKeep(config, settings);
  tracker_enabled_ = settings.enable_tracker;
  zone_events_ = ZoneEvents(clock());
  if (settings.use_zones) {
    zone_events_.Configure(map);
    CheckAreas(map);
  }
  draw_objects_ = settings.draw_objects;
  ReadAppearance(map, settings);
  liveness_.Configure(map);
  filter_.set_overlap_threshold(
      static_cast<float>(settings.suppression_overlap_threshold));
  summaries_ = TrackSummaries();
  summaries_.set_enabled(settings.publish_track_summary);
  class_vote_.Configure(map);
  // Every zone has its own estimator slot, so speeds are reported as soon
  // as one zone has a scale; a zone without one reports 0.
  zone_events_.set_measure_speed(zone_events_.AnyZoneMeasuresSpeed());
  // Every built-in adapter, whichever pipeline was set up before.
  RegisterDetectorAdapters();
  const absl::Status regions = regions_.Configure(config, judges_day_night_);
  regions_.SetTaskRunner(task_runner());
  ShareNetworkSize(/*night=*/false);
  ShareNetworkSize(/*night=*/true);
  {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    gate_.Configure(map, regions_.rois().size());
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

void SSDAnalyticsVideoV1::ReadAppearance(const Entity& map,
                                         const ObjectSettings& settings) {
  appearance_ = false;
  if (settings.tracker_appearance != ObjectSettings::Appearance::kNone) {
    Tracker::Parameters tracker;
    TrackerKeyTable().ReadOnly(map, {"tracker_deals_with_occlusion"}, &tracker);
    if (!tracker.deals_with_occlusion) {
      NoteWarning(
          "tracker_appearance needs tracker_deals_with_occlusion true; no "
          "appearance descriptor is computed");
      return;
    }
    appearance_ = true;
  }
}

void SSDAnalyticsVideoV1::CheckAreas(const Entity& map) {
  if (!HasProperty(map, "areas")) return;
  const Value& areas = GetProperty(map, "areas");
  if (areas.value_type_case() != Value::kArrayValue) {
    NoteWarning("\"areas\" is not a list of areas; no area is configured");
    return;
  }
  for (int k = 0; k < areas.array_value().values_size(); ++k) {
    const Value& area = areas.array_value().values(k);
    if (area.value_type_case() != Value::kArrayValue ||
        area.array_value().values_size() < 3) {
      NoteWarning(absl::StrCat(
          "Area #", k + 1,
          " is not a list of at least 3 points; it reports no event"));
    }
  }
}

void SSDAnalyticsVideoV1::CheckRegions(const cv::Size& frame_size) {
  if (frame_size == checked_size_ || frame_size.empty()) return;
  checked_size_ = frame_size;
  for (const auto& roi : regions_.rois()) {
    if (!roi->RegionOf(frame_size).empty()) continue;
    const cv::Rect& r = roi->configured_rect();
    NoteWarning(absl::StrCat(
        "ROI #", roi->index() + 1, " [", r.width, " x ", r.height, " from (",
        r.x, ", ", r.y, ")] lies outside the ", frame_size.width, " x ",
        frame_size.height, " frame; nothing is detected there"));
  }
}

int32_t SSDAnalyticsVideoV1::FindLabelIndex(const KestuEyeConfig& config,
                                            const std::string& name) {
  for (const Entity& model : config.models()) {
    if (!HasObjectLabels(RequiredModelKey(model, "type"))) continue;
    const Entity& content = AsEntity(GetProperty(model, "content"));
    ModelKeys keys;
    ModelKeyTable().ReadOnly(content, {"labels"}, &keys);
    for (size_t i = 0; i < keys.labels.size(); ++i) {
      if (keys.labels[i] == name) return static_cast<int32_t>(i);
    }
  }
  return -1;
}

void SSDAnalyticsVideoV1::ReadClassesToKeep(const KestuEyeConfig& config,
                                            const ObjectSettings& settings) {
  std::set<int32_t> keep;
  if (HasProperty(config.config(), "indexes_to_filter")) {
    const ArrayValue& list = settings.indexes_to_filter;
    NoteInfo(absl::StrCat("Indexes to filter: ", list.values_size()));
    for (int k = 0; k < list.values_size(); ++k) {
      const Value& element = list.values(k);
      if (element.value_type_case() == Value::kStringValue &&
          !element.string_value().empty()) {
        const int32_t index = FindLabelIndex(config, element.string_value());
        if (index < 0) {
          NoteWarning(absl::StrCat("Label \"", element.string_value(),
                                   "\" from indexes_to_filter not found"));
        } else {
          keep.insert(index);
        }
        continue;
      }
      if (element.value_type_case() != Value::kIntegerValue) {
        NoteWarning(absl::StrCat("indexes_to_filter element #", k + 1,
                                 " is neither a label name nor a class index; "
                                 "it is read as class 0"));
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
