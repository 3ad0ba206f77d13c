// Track summaries of the object pipelines ("publish_track_summary"): when
// a confirmed track ends, one TRACKING_END event that tells its whole
// story, published with the track's last detection (voted type, last box,
// best score).
//
// The event carries the tracking id, the tracked seconds (session_time),
// the calendar time of the end, the box the track was born with
// (first_location) and, in `crossings`, a copy of every ZONE_EXIT event the
// track made, in order, each with its zone, direction, speed and time.
//
// Per live track the crossings are kept until the track is dropped
// (Forget), so the state is bounded by the live tracks. Not thread-safe.
#ifndef VISION_OBJECTS_TRACK_SUMMARIES_H_
#define VISION_OBJECTS_TRACK_SUMMARIES_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/tracking/track.h"

namespace talvenrook_vision {

class TrackSummaries {
 public:
  using VisionEvent = ::talvenrook::vision::v1::VisionEvent;
  using VisionResult = ::talvenrook::vision::v1::VisionResult;

  void set_enabled(bool enabled) { enabled_ = enabled; }
  bool enabled() const { return enabled_; }

  // Keeps the ZONE_EXIT events of the track among the events of `result`
  // from index `first_event` on.
  void RecordCrossings(int32_t track_id, const VisionResult& result,
                       int first_event);
  // Appends the TRACKING_END event of a track that ended.
  void EmitEnd(const Track& track, int64_t calendar_seconds,
               VisionResult* result) const;
  void Forget(int32_t track_id) { crossings_.erase(track_id); }
  size_t TrackCount() const { return crossings_.size(); }

 private:
  bool enabled_ = false;
  std::unordered_map<int32_t, std::vector<VisionEvent>> crossings_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_TRACK_SUMMARIES_H_
