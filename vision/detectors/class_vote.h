// ClassVote: the per-track class vote of a classifier. It keeps each
// track's latest (class, confidence) and, once voting is on, counts the
// voted classes in a TrackerMode.
//
// The track's class is the recent (or all-time) mode of its votes while
// voting is on and the vote holds the track, otherwise its latest result;
// -1 when it has neither. Voting is off until Configure (or EnableVoting).
// Not thread-safe: one analytics thread.
#ifndef VISION_DETECTORS_CLASS_VOTE_H_
#define VISION_DETECTORS_CLASS_VOTE_H_

#include <cstdint>
#include <unordered_map>
#include <utility>

#include "vision/config/entity_config.h"
#include "vision/tracking/tracker_mode.h"

namespace talvenrook_vision {

// (class index, confidence); (-1, 0.0) when nothing was recognised.
using ClassScore = std::pair<int32_t, float>;

class ClassVote {
 public:
  // 20 classes, the last 5 votes recent.
  ClassVote();

  // Configures the vote from a "config" map ("tracker_num_classes",
  // "tracker_num_recent") and turns voting on.
  void Configure(const Entity& config);
  // Turns voting on and returns the vote, for a classifier that configures
  // it its own way.
  TrackerMode* EnableVoting();

  // Stores the result as the track's latest and votes it when voting is on.
  void Record(int32_t track_id, const ClassScore& result);
  void Forget(int32_t track_id);

  // True when the vote holds the track.
  bool HasVote(int32_t track_id) const;
  // The track's class as described above.
  int32_t ClassOf(int32_t track_id, bool recent) const;
  // The track's latest result; null when none was recorded.
  const ClassScore* Latest(int32_t track_id) const;
  // 0.0 without a latest result, else the mean score of the vote's mode.
  float Score(int32_t track_id) const;
  // From 0 (certain) to 1 (uncertain), over the recent votes.
  float Uncertainty(int32_t track_id) const;

  bool enabled() const { return enabled_; }
  const TrackerMode& mode() const { return mode_; }

 private:
  std::unordered_map<int32_t, ClassScore> latest_;
  TrackerMode mode_;
  bool enabled_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_CLASS_VOTE_H_
