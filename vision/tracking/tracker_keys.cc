// The tracker's keys (ReadTrackerParameters) and its evidence that a
// track is alive (the minimum travel, growth and relative travel keys).
#include <algorithm>
#include <cmath>
#include <string>

#include "vision/tracking/tracker_keys.h"

namespace talvenrook_vision {
namespace {

bool FarEnough(const cv::Point& a, const cv::Point& b, int32_t distance) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return dx * dx + dy * dy >= static_cast<double>(distance) * distance;
}

}  // namespace

const KeyTable<Tracker::Parameters>& TrackerKeyTable() {
  using P = Tracker::Parameters;
  static const KeyTable<P>* const table = [] {
    const std::string not_from_zero =
        "{key} {value} is not a finite number from 0; 0 is used";
    auto* t = new KeyTable<P>(
        "Tracker",
        "Keys of the pipeline's config map read by every tracker of objects "
        "(and, for the frame counts, by the face pipeline's tracker of "
        "people).");
    t->Int("tracker_frames_to_count", &P::frames_to_count,
           "Hits before a track is confirmed; below 1 counts as 1.")
        .Int("tracker_frames_to_discard", &P::frames_to_discard,
             "Frames a track may be missed before it ends.")
        .Bool("tracker_deals_with_occlusion", &P::deals_with_occlusion,
              "Match the tracks left unmatched by appearance descriptor.")
        .Int("tracker_last_frame_threshold", &P::max_missed,
             "Frames missed after which a track is no longer matched "
             "(-1: tracker_frames_to_discard; 0: no pass).")
        .Double(
            "tracker_distance_threshold", &P::distance_threshold,
            "Largest centre distance (|dx| + |dy|) of a match, in box widths.")
        .Double("tracker_deformation_threshold", &P::deformation_threshold,
                "Largest change of width or height of a match, as a share.")
        .Bool("tracker_match_group", &P::match_group,
              "Match a detection with several possible tracks to the nearest "
              "(false: leave it unmatched).")
        .Double("tracker_descriptors_threshold", &P::descriptors_threshold,
                "Largest descriptor distance of an appearance match.")
        .Bool("tracker_descriptors_check_distance",
              &P::descriptors_check_distance,
              "An appearance match must also lie near the track.")
        .Double("tracker_detection_score_threshold",
                &P::detection_score_threshold,
                "Least best score of a track that is reported when it ends.")
        .Enum("tracker_motion_model", &P::motion_model,
              {{"none", Tracker::MotionModel::kNone},
               {"constant_velocity", Tracker::MotionModel::kConstantVelocity}},
              "Predict every track's box with a constant-velocity filter.",
              "Unknown {key} \"{value}\" (\"none\" or "
              "\"constant_velocity\"); none is used")
        .Enum("tracker_association", &P::association,
              {{"nearest", Tracker::Association::kNearest},
               {"iou", Tracker::Association::kIou}},
              "Pair detections and tracks by mutual nearest neighbour or by "
              "overlap.",
              "Unknown {key} \"{value}\" (\"nearest\" or \"iou\"); "
              "nearest is used")
        .Double("tracker_iou_threshold", &P::iou_threshold,
                "Least overlap of an \"iou\" match.",
                KeyBounds::Between(0, 1)
                    .Open(true, false)
                    .Problem("{key} {value} is not in (0, 1]; {kept} is used"))
        .Double("tracker_appearance_weight", &P::appearance_weight,
                "Share of the descriptor distance in the cost of an \"iou\" "
                "match.",
                KeyBounds::AtLeast(0).Finite().Problem(not_from_zero))
        .Int("tracker_min_travel", &P::min_travel,
             "Pixels a track's centre must travel from its birth before it "
             "is confirmed (0: off).",
             KeyBounds::AtLeast(0).Clamped())
        .Int("tracker_min_change", &P::min_change,
             "Grey levels a track's pixels must change by before it is "
             "confirmed (0: off).",
             KeyBounds::AtLeast(0).Clamped())
        .Double("tracker_min_growth", &P::min_growth,
                "Share by which a track's width and height must both grow or "
                "shrink to confirm it (0: off).",
                KeyBounds::AtLeast(0).Finite().Problem(not_from_zero))
        .Double("tracker_min_relative_travel", &P::min_relative_travel,
                "Share of its birth height a track's centre must travel to "
                "confirm it (0: off).",
                KeyBounds::AtLeast(0).Finite().Problem(not_from_zero));
    return t;
  }();
  return *table;
}

void ReadTrackerParameters(const Entity& config, Tracker::Parameters* p) {
  WriteKeyProblems(TrackerKeyTable().Read(config, p));
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
