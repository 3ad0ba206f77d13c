// Multi-object tracker: turns per-frame detections into tracks with a
// stable numeric identity.
//
// Each Update matches the frame's detections to the live tracks, first by
// position and size (mutual nearest neighbour), then, when occlusion
// handling is on, by appearance descriptor for the tracks the first pass
// left unmatched. Unmatched detections are born as new tracks with ids from
// one process-wide counter; tracks missed for more than frames_to_discard
// frames die, and those that were confirmed (hits > frames_to_count) and
// scored at least detection_score_threshold are handed back once through
// EndedTracks.
//
// Contract:
//   - Live tracks keep birth order; matching iterates in that order, so
//     ties go to the earlier track or candidate.
//   - A box with zero or negative width or height never matches by
//     position.
//   - Pointers returned by GetTracks and references to live or ended tracks
//     are valid until the next Update, Configure or KeepAliveOutside.
//   - DroppedTrackIds names every track removed by the last Update, ended
//     or not, so that per-track state elsewhere stays bounded by the live
//     tracks.
//   - Not thread-safe; only the id counter (with its reserved ids) is shared
//     between instances.
//
// Beyond the default behaviour, three opt-in settings:
//   - "tracker_motion_model": "constant_velocity" predicts every track's
//     box with a Kalman filter (BoxMotionModel); matching then measures
//     distance, deformation and overlap against the prediction, so that a
//     track missed for a few frames is found again where it has moved to.
//   - "tracker_association": "iou" pairs detections and tracks by overlap
//     (at least "tracker_iou_threshold", default 0.3) with an optimal
//     assignment instead of the mutual-nearest-neighbour pass.
//   - "tracker_min_travel" (pixels): a track whose centre has not yet been
//     that far from where it was born is not confirmed (not returned by
//     GetTracks, not drawn, not ended): a static object detected as one is
//     never reported, and a person who stood still is as soon as they move.
//   - "tracker_min_growth" and "tracker_min_relative_travel" (shares of the
//     height of the box the track was born with): the same gate judged by
//     the box's own size rather than pixels: a track is confirmed once its
//     width and height have both grown (or both shrunk) by the first share
//     (a person walking toward the camera grows while hardly moving across
//     the picture) or its centre has travelled the second share of its
//     height. With more than one of
//     the three keys, any of their evidence confirms.
//
// Example configuration (pipeline config map, protobuf text format):
//   properties { key: "tracker_frames_to_count" value { integer_value: 3 } }
//   properties { key: "tracker_frames_to_discard" value { integer_value: 15 } }
//   properties { key: "tracker_deals_with_occlusion"
//                value { boolean_value: true } }
//   properties { key: "tracker_motion_model"
//                value { string_value: "constant_velocity" } }
//   properties { key: "tracker_association" value { string_value: "iou" } }
//   properties { key: "tracker_min_travel" value { integer_value: 20 } }
#ifndef VISION_TRACKING_TRACKER_H_
#define VISION_TRACKING_TRACKER_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "vision/config/entity_config.h"
#include "vision/tracking/box_motion_model.h"
#include "vision/tracking/track.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

class Tracker {
 public:
  enum class MotionModel { kNone, kConstantVelocity };
  enum class Association { kNearest, kIou };

  struct Parameters {
    int32_t frames_to_count = 3;
    int32_t frames_to_discard = 15;
    bool deals_with_occlusion = false;
    int32_t max_missed = -1;  // -1: same as frames_to_discard; 0: no pass
    double distance_threshold = 2.0;
    double deformation_threshold = 0.4;
    float detection_score_threshold = 0.0f;
    bool match_group = true;
    double descriptors_threshold = 0.75;
    bool descriptors_check_distance = true;
    // When positive, every track born here also takes id + this offset out
    // of the process-wide counter, so that no tracker ever hands it out:
    // ids reported with the offset (the people of the face pipeline, +65536)
    // never meet another track's id, however many tracks the process makes.
    int32_t reserved_id_offset = 0;
    MotionModel motion_model = MotionModel::kNone;
    Association association = Association::kNearest;
    double iou_threshold = 0.3;  // least overlap of an "iou" match
    // Share of the descriptor distance in the cost of an "iou" match (0:
    // overlap alone); pairs still need the least overlap.
    double appearance_weight = 0.0;
    int32_t min_travel = 0;  // pixels; 0: every track may be confirmed
    // Evidence of life besides travel in pixels (0: not used): the box's
    // width and height both changed by this share of their size at birth,
    // the same way (someone walking toward or away from the camera), or
    // its centre travelled this share of its height (someone far away
    // walking across).
    double min_growth = 0.0;
    double min_relative_travel = 0.0;
    // Grey levels the box's pixels must change by ("tracker_min_change"),
    // judged outside the tracker (MarkAlive); 0: not used.
    int32_t min_change = 0;
  };

  // Requires: clock outlives the tracker.
  explicit Tracker(const TrackingClock* clock = TrackingClock::System());

  // Reads the "tracker_*" keys (absent keys keep their defaults), applies
  // them as the other form does and writes "INFO: Configuring Tracker:
  // {frames_to_count: N, frames_to_discard: M}" to standard error.
  bool Configure(const Entity& config);
  // Stores the parameters (frames_to_count below 1 becomes 1, max_missed -1
  // becomes frames_to_discard) and drops all live and ended tracks without
  // reporting them. The id counter is not touched.
  bool Configure(const Parameters& parameters);

  // One frame of detections. Empty scores mean 1.0 each, empty descriptors
  // none, empty classes 0 each, empty flags true each; a non-empty list
  // shorter than boxes gives those defaults to the boxes it lacks. Returns
  // true when a track reached exactly frames_to_count hits in this call.
  bool Update(const std::vector<cv::Rect>& boxes,
              const std::vector<float>& scores = {},
              const std::vector<cv::Mat>& descriptors = {},
              const std::vector<int32_t>& classes = {},
              const std::vector<bool>& flags = {});

  // A frame on which detection did not run (motion gating): nothing is
  // matched, born or dropped, and no track misses. Every track's motion
  // model predicts one frame ahead; a confirmed track that was reported on
  // the previous frame moves to its prediction (its last box without a
  // motion model) and is reported again, so that zones follow it on the
  // predicted centre. Returns the number of tracks carried.
  int CarryForward();

  // Keeps alive every confirmed track that missed exactly this frame and
  // whose box lies inside none of the regions (or all of them when the list
  // is empty): the regions are where detection actually ran.
  void KeepAliveOutside(std::vector<cv::Rect> regions);

  // Tracks updated in this frame with hits > frames_to_count, or with any
  // hits when include_unconfirmed; in live order.
  const std::vector<const Track*>& GetTracks(bool include_unconfirmed = false);
  const std::vector<Track>& EndedTracks() const { return ended_; }
  // Ids of every track that the last Update dropped: the ended tracks and
  // also those that died unconfirmed or below the score threshold, which
  // never appear among the ended ones. Whoever keeps state per track id
  // drops it for these.
  const std::vector<int32_t>& DroppedTrackIds() const { return dropped_; }
  const std::vector<Track>& tracks() const { return tracks_; }
  // The track showed life by evidence the tracker cannot see (its pixels).
  void MarkAlive(int32_t track_id);
  const Parameters& parameters() const { return parameters_; }
  // hits > frames_to_count and, with a minimum travel, growth or relative
  // travel, showed life (see ShowsLife).
  bool Confirmed(const Track& track) const {
    return track.hits > parameters_.frames_to_count && track.moved;
  }

  // Draws every confirmed updated track's box in its colour (line width 2)
  // and, when draw_ids, its id in white at the box's top-left corner.
  void Draw(cv::Mat* frame, bool draw_ids) const;

 private:
  void BuildCandidates(const std::vector<cv::Rect>& boxes,
                       const std::vector<float>& scores,
                       const std::vector<cv::Mat>& descriptors,
                       const std::vector<int32_t>& classes,
                       const std::vector<bool>& flags);
  float Distance(const Track& candidate, const Track& track) const;
  // The box matching compares a candidate with: the prediction when a
  // motion model runs, else the last matched box.
  const cv::Rect& ReferenceBox(const Track& track) const;
  void PredictTracks();
  void GeometricPass();
  void IouPass();
  void DescriptorPass();
  bool CollectDescriptors();
  void BirthCandidates();
  bool Bookkeeping();
  void UpdateTrack(Track* track, const Track& detection);
  // Whether the track's boxes since birth show the evidence of life the
  // minimum travel, growth and relative travel keys ask for (any of them).
  bool ShowsLife(const Track& track) const;

  const TrackingClock* clock_;
  Parameters parameters_;
  std::vector<Track> tracks_;
  std::vector<Track> ended_;
  std::vector<int32_t> dropped_;
  // Per-frame scratch, kept to avoid allocation.
  std::vector<Track> candidates_;
  std::vector<float> distances_;  // candidates x tracks
  std::vector<int> best_track_, best_candidate_;
  std::vector<char> candidate_ambiguous_, track_ambiguous_;
  std::vector<int> train_tracks_, query_candidates_, chosen_;
  std::vector<float> chosen_distance_;
  cv::Mat train_, query_;
  std::vector<cv::DMatch> matches_;
  cv::BFMatcher matcher_{cv::NORM_L2, false};
  std::vector<const Track*> selected_;
  // Motion model of every live track, by id (with a motion model only).
  std::unordered_map<int32_t, BoxMotionModel> motion_;
  cv::Mat iou_cost_;
};

// Reads the "tracker_*" keys of `config` into `p` (absent keys keep their
// values); unknown names of a motion model or an association are reported
// on standard error and keep the default.
void ReadTrackerParameters(const Entity& config, Tracker::Parameters* p);

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_TRACKER_H_
