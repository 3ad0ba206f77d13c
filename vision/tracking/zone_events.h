// The zones, areas and speed estimators of a pipeline, and the events they
// produce for its tracks.
//
// Each frame the pipeline calls Emit for every confirmed track: every zone
// in configuration order, then every area, checks the track's centre, and
// each crossing, entry or exit appends one VisionEvent to the frame's
// result. Zone i uses speed estimator slot i; a zone without a scale has an
// empty slot and reports speed 0. Forget drops a track's state in every
// zone, area and speed estimator; the pipeline calls it for every track its
// tracker drops (ForgetDroppedTracks), so that the state stays bounded by
// the live tracks.
//
// Draw shows each zone as its counting line with the band outline and its
// name, and each area as a red polygon.
//
// Event fields: zone crossings carry tag ZONE_EXIT, tracking_id,
// session_time (the track's tracked seconds), zone_id (0-based index),
// zone_name, zone_direction, zone_direction_name (empty unless the zone
// names its directions) and, when speed measurement is on, speed; area
// events carry AREA_ENTER or AREA_EXIT, tracking_id and area_id. All carry
// the calendar time in whole seconds.
//
// Requires: the clock outlives the object. Not thread-safe.
#ifndef VISION_TRACKING_ZONE_EVENTS_H_
#define VISION_TRACKING_ZONE_EVENTS_H_

#include <memory>
#include <vector>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/area.h"
#include "vision/tracking/speed_estimator.h"
#include "vision/tracking/track.h"
#include "vision/tracking/tracker.h"
#include "vision/tracking/tracker_mode.h"
#include "vision/tracking/tracking_clock.h"
#include "vision/tracking/zone.h"

namespace talvenrook_vision {

class ZoneEvents {
 public:
  using VisionEvent = ::talvenrook::vision::v1::VisionEvent;
  using VisionResult = ::talvenrook::vision::v1::VisionResult;

  explicit ZoneEvents(const TrackingClock* clock = TrackingClock::System())
      : clock_(clock) {}

  // Rebuilds zones, estimator slots and areas from the pipeline map; false
  // when a zone definition was incomplete (the zones before it stay).
  bool Configure(const Entity& config);
  void AddZone(Zone zone, std::unique_ptr<SpeedEstimator> estimator);
  void AddArea(Area area);

  void set_measure_speed(bool on) { measure_speed_ = on; }
  bool measure_speed() const { return measure_speed_; }

  // Checks one confirmed track against every zone and area and appends its
  // events to result. `ticks` is the tick count read once for the frame.
  void Emit(const Track& track, int64_t ticks, VisionResult* result);
  // The exit event of an ended track for a pipeline with neither zones nor
  // areas: ZONE_EXIT, FORWARD, zone "ROI #n" with id n.
  void EmitRoiExit(const Track& track, int roi_number, VisionResult* result);
  void Forget(int32_t track_id);
  // Once per frame, after the tracks dropped in it were forgotten.
  void EndFrame();
  // Per-track entries kept by all zones, areas and speed estimators.
  size_t TrackStateCount() const;

  void Draw(cv::Mat& frame) const;

  bool empty() const { return zones_.empty() && areas_.empty(); }
  // True when at least one zone has a speed estimator.
  bool AnyZoneMeasuresSpeed() const;
  const std::vector<Zone>& zones() const { return zones_; }
  const std::vector<Area>& areas() const { return areas_; }
  const SpeedEstimator* estimator(size_t zone_index) const {
    return estimators_[zone_index].get();
  }

 private:
  VisionEvent* NewEvent(VisionResult* result, int tag, const Track& track);

  const TrackingClock* clock_;
  bool measure_speed_ = false;
  std::vector<Zone> zones_;
  std::vector<std::unique_ptr<SpeedEstimator>> estimators_;  // one per zone
  std::vector<Area> areas_;
};

// Drops, for every track that the tracker dropped in its last Update, the
// state kept for it by the zones, areas and speed estimators of `events` and
// by the class vote `vote` (either may be null). Call after each Update.
void ForgetDroppedTracks(const Tracker& tracker, ZoneEvents* events,
                         TrackerMode* vote);

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_ZONE_EVENTS_H_
