#include "vision/face/attention/person_attention.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "vision/face/attention/flow_attention.h"
#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {
AttentionRoi ReadAttentionRoi(const Entity& map, const AttentionRoi& defaults) {
  AttentionRoi roi = defaults;
  ReadPropertyIfPresent(map, "module_threshold", &roi.module_threshold);
  ReadPropertyIfPresent(map, "optical_feature_points", &roi.feature_points);
  roi.has_flow =
      HasProperty(map, "angle_threshold") && HasProperty(map, "angle_flow");
  ReadPropertyIfPresent(map, "angle_threshold", &roi.angle_threshold);
  ReadPropertyIfPresent(map, "angle_flow", &roi.angle_flow);
  return roi;
}

std::vector<AttentionRoi> ReadAttentionRois(const ArrayValue& list,
                                            const AttentionRoi& defaults) {
  std::vector<AttentionRoi> rois;
  for (const Value& element : list.values()) {
    const Entity& map = AsEntity(element);
    cv::Rect rect;
    if (!ReadRectangle(map, &rect)) continue;
    AttentionRoi roi = ReadAttentionRoi(map, defaults);
    roi.rect = rect;
    rois.push_back(roi);
  }
  return rois;
}

AttentionPoint ReadAttentionPoint(const Entity& map) {
  AttentionPoint p;
  ReadPropertyIfPresent(map, "x", &p.point.x);
  ReadPropertyIfPresent(map, "y", &p.point.y);
  ReadPropertyIfPresent(map, "distance_check_direction", &p.check_distance);
  ReadPropertyIfPresent(map, "distance_force_looking",
                        &p.force_looking_distance);
  ReadPropertyIfPresent(map, "samples", &p.samples);
  return p;
}

AttentionSettings ReadAttentionSettings(const Entity& config) {
  AttentionSettings settings;
  AttentionRoi defaults;
  ReadPropertyIfPresent(config, "module_threshold", &defaults.module_threshold);
  ReadPropertyIfPresent(config, "optical_feature_points",
                        &defaults.feature_points);
  ArrayValue rois;
  ReadPropertyIfPresent(config, "attention_rois", &rois);
  settings.rois = ReadAttentionRois(rois, defaults);
  if (HasProperty(config, "attention_point")) {
    settings.has_point = true;
    settings.point =
        ReadAttentionPoint(AsEntity(GetProperty(config, "attention_point")));
  }
  return settings;
}

RoiAttention::RoiAttention(std::vector<cv::Rect> rois,
                           const TrackingClock* clock)
    : PersonAttention(clock), rois_(std::move(rois)) {}

bool RoiAttention::Update(int32_t person_id, const cv::Rect& box) {
  bool inside = false;
  for (const cv::Rect& roi : rois_) {
    if ((box & roi) == box) {
      inside = true;
      break;
    }
  }
  timer_.Update(person_id, inside);
  return inside;
}

PointAttention::PointAttention(const AttentionPoint& point,
                               const TrackingClock* clock)
    : PersonAttention(clock), point_(point) {
  // A window of no samples would divide by zero; one sample is the least.
  point_.samples = std::max(point_.samples, 1);
}

bool PointAttention::Update(int32_t person_id, const cv::Rect& box) {
  const double cx = box.x + box.width * 0.5;
  const double cy = box.y + box.height * 0.5;
  const double distance =
      std::sqrt((cx - point_.point.x) * (cx - point_.point.x) +
                (cy - point_.point.y) * (cy - point_.point.y));
  const bool first = persons_.count(person_id) == 0;
  Person& person = persons_[person_id];
  person.count = std::min(person.count + 1, point_.samples);
  const double mean =
      ((person.count - 1) * person.mean + distance) / person.count;
  bool decision;
  if (first) {
    decision = point_.check_distance >= mean;
  } else {
    decision = (mean - person.mean <= 0.0 && point_.check_distance >= mean) ||
               point_.force_looking_distance >= mean;
  }
  timer_.Update(person_id, decision);
  person.mean = mean;
  const bool reported = first ? decision : person.decision;
  person.decision = decision;
  return reported;
}

void PointAttention::Forget(int32_t person_id) {
  persons_.erase(person_id);
  PersonAttention::Forget(person_id);
}

std::unique_ptr<PersonAttention> CreatePersonAttention(
    const AttentionSettings& settings, const TrackingClock* clock) {
  if (settings.has_point)
    return std::make_unique<PointAttention>(settings.point, clock);
  const bool any_flow =
      std::any_of(settings.rois.begin(), settings.rois.end(),
                  [](const AttentionRoi& roi) { return roi.has_flow; });
  if (any_flow) return std::make_unique<FlowAttention>(settings.rois, clock);
  std::vector<cv::Rect> rects;
  for (const AttentionRoi& roi : settings.rois) rects.push_back(roi.rect);
  return std::make_unique<RoiAttention>(std::move(rects), clock);
}

}  // namespace talvenrook_vision
