// The tracker's keys (ReadTrackerParameters) and its evidence that a
// track is alive (the minimum travel, growth and relative travel keys).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "vision/tracking/tracker.h"

namespace talvenrook_vision {
namespace {

bool FarEnough(const cv::Point& a, const cv::Point& b, int32_t distance) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return dx * dx + dy * dy >= static_cast<double>(distance) * distance;
}

}  // namespace

void ReadTrackerParameters(const Entity& config, Tracker::Parameters* p) {
  ReadPropertyIfPresent(config, "tracker_frames_to_count", &p->frames_to_count);
  ReadPropertyIfPresent(config, "tracker_frames_to_discard",
                        &p->frames_to_discard);
  ReadPropertyIfPresent(config, "tracker_deals_with_occlusion",
                        &p->deals_with_occlusion);
  ReadPropertyIfPresent(config, "tracker_last_frame_threshold", &p->max_missed);
  ReadPropertyIfPresent(config, "tracker_distance_threshold",
                        &p->distance_threshold);
  ReadPropertyIfPresent(config, "tracker_deformation_threshold",
                        &p->deformation_threshold);
  ReadPropertyIfPresent(config, "tracker_match_group", &p->match_group);
  ReadPropertyIfPresent(config, "tracker_descriptors_threshold",
                        &p->descriptors_threshold);
  ReadPropertyIfPresent(config, "tracker_descriptors_check_distance",
                        &p->descriptors_check_distance);
  ReadPropertyIfPresent(config, "tracker_detection_score_threshold",
                        &p->detection_score_threshold);
  std::string name;
  if (ReadPropertyIfPresent(config, "tracker_motion_model", &name)) {
    if (name == "constant_velocity") {
      p->motion_model = Tracker::MotionModel::kConstantVelocity;
    } else if (name == "none") {
      p->motion_model = Tracker::MotionModel::kNone;
    } else {
      std::cerr << "WARNING: Unknown tracker_motion_model \"" << name
                << "\" (\"none\" or \"constant_velocity\"); none is used"
                << std::endl;
    }
  }
  if (ReadPropertyIfPresent(config, "tracker_association", &name)) {
    if (name == "iou") {
      p->association = Tracker::Association::kIou;
    } else if (name == "nearest") {
      p->association = Tracker::Association::kNearest;
    } else {
      std::cerr << "WARNING: Unknown tracker_association \"" << name
                << "\" (\"nearest\" or \"iou\"); nearest is used" << std::endl;
    }
  }
  double iou = p->iou_threshold;
  if (ReadPropertyIfPresent(config, "tracker_iou_threshold", &iou)) {
    if (iou > 0.0 && iou <= 1.0) {
      p->iou_threshold = iou;
    } else {
      std::cerr << "WARNING: tracker_iou_threshold " << iou
                << " is not in (0, 1]; " << p->iou_threshold << " is used"
                << std::endl;
    }
  }
  double weight = 0.0;
  if (ReadPropertyIfPresent(config, "tracker_appearance_weight", &weight)) {
    if (weight >= 0.0 && std::isfinite(weight)) {
      p->appearance_weight = weight;
    } else {
      std::cerr << "WARNING: tracker_appearance_weight " << weight
                << " is not a finite number from 0; 0 is used" << std::endl;
    }
  }
  int32_t travel = 0;
  if (ReadPropertyIfPresent(config, "tracker_min_travel", &travel)) {
    p->min_travel = std::max(0, travel);
  }
  int32_t change = 0;
  if (ReadPropertyIfPresent(config, "tracker_min_change", &change)) {
    p->min_change = std::max(0, change);
  }
  for (const auto& [key, share] :
       {std::pair<const char*, double*>{"tracker_min_growth", &p->min_growth},
        {"tracker_min_relative_travel", &p->min_relative_travel}}) {
    double value = 0.0;
    if (!ReadPropertyIfPresent(config, key, &value)) continue;
    if (value >= 0.0 && std::isfinite(value)) {
      *share = value;
    } else {
      std::cerr << "WARNING: " << key << " " << value
                << " is not a finite number from 0; 0 is used" << std::endl;
    }
  }
}

void Tracker::MarkAlive(int32_t track_id) {
  for (Track& track : tracks_) {
    if (track.id == track_id) track.moved = true;
  }
}

bool Tracker::ShowsLife(const Track& track) const {
  const Parameters& p = parameters_;
  if (p.min_travel > 0 &&
      FarEnough(track.center, BoxCenter(track.birth_box), p.min_travel)) {
    return true;
  }
  // Growth is a change of scale: width and height both larger (or both
  // smaller) by the share; a box that jitters in one direction is not.
  const double height = std::max(1, track.birth_box.height);
  const double width = std::max(1, track.birth_box.width);
  if (p.min_growth > 0.0) {
    const double dw = (track.box.width - track.birth_box.width) / width;
    const double dh = (track.box.height - track.birth_box.height) / height;
    if ((dw >= p.min_growth && dh >= p.min_growth) ||
        (dw <= -p.min_growth && dh <= -p.min_growth)) {
      return true;
    }
  }
  if (p.min_relative_travel > 0.0) {
    const cv::Point from = BoxCenter(track.birth_box);
    const double dx = track.center.x - from.x;
    const double dy = track.center.y - from.y;
    const double reach = p.min_relative_travel * height;
    if (dx * dx + dy * dy >= reach * reach) return true;
  }
  return false;
}

}  // namespace talvenrook_vision
