#include "vision/tracking/zone_events.h"

#include <string>
#include <utility>

#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {

namespace v1 = ::talvenrook::vision::v1;

bool ZoneEvents::Configure(const Entity& config) {
  zones_.clear();
  estimators_.clear();
  areas_.clear();
  const bool complete =
      ReadZones(config, clock_->TickFrequency(), &zones_, &estimators_);
  ReadAreas(config, &areas_);
  return complete;
}

void ZoneEvents::AddZone(Zone zone, std::unique_ptr<SpeedEstimator> estimator) {
  zones_.push_back(std::move(zone));
  estimators_.push_back(std::move(estimator));
}

void ZoneEvents::AddArea(Area area) { areas_.push_back(std::move(area)); }

ZoneEvents::VisionEvent* ZoneEvents::NewEvent(VisionResult* result, int tag,
                                              const Track& track) {
  VisionEvent* event = result->add_vision_event();
  event->set_tag(static_cast<v1::EventTag>(tag));
  event->set_tracking_id(static_cast<uint64_t>(track.id));
  event->mutable_timestamp()->set_seconds(clock_->CalendarSeconds());
  event->mutable_timestamp()->set_nanos(0);
  return event;
}

void ZoneEvents::Emit(const Track& track, int64_t ticks, VisionResult* result) {
  for (size_t i = 0; i < zones_.size(); ++i) {
    SpeedEstimator* estimator = estimators_[i].get();
    if (measure_speed_ && estimator) {
      estimator->Update(track.id, track.center, ticks);
    }
    const int code = zones_[i].Check(track.id, track.center);
    if (code != Zone::kForward && code != Zone::kBackward) continue;
    VisionEvent* event = NewEvent(result, v1::ZONE_EXIT, track);
    event->set_session_time(track.tracked_seconds);
    event->set_zone_id(i);
    event->set_zone_name(zones_[i].name());
    event->set_zone_direction(code == Zone::kForward ? v1::FORWARD
                                                     : v1::BACKWARD);
    event->set_zone_direction_name(code == Zone::kForward
                                       ? zones_[i].forward_name()
                                       : zones_[i].backward_name());
    if (measure_speed_) {
      event->set_speed(estimator ? estimator->Speed(track.id) : 0.0f);
    }
  }
  for (size_t i = 0; i < areas_.size(); ++i) {
    const int code =
        areas_[i].Check(track.id, track.center, static_cast<uint64_t>(ticks));
    if (code != Area::kEntered && code != Area::kExited) continue;
    VisionEvent* event = NewEvent(
        result, code == Area::kEntered ? v1::AREA_ENTER : v1::AREA_EXIT, track);
    event->set_area_id(i);
  }
}

void ZoneEvents::EmitRoiExit(const Track& track, int roi_number,
                             VisionResult* result) {
  VisionEvent* event = NewEvent(result, v1::ZONE_EXIT, track);
  event->set_session_time(track.tracked_seconds);
  event->set_zone_direction(v1::FORWARD);
  event->set_zone_name("ROI #" + std::to_string(roi_number));
  event->set_zone_id(static_cast<uint64_t>(roi_number));
}

void ZoneEvents::EndFrame() {
  for (Zone& zone : zones_) zone.EndFrame();
}

void ZoneEvents::Forget(int32_t track_id) {
  for (Zone& zone : zones_) zone.Forget(track_id);
  for (Area& area : areas_) area.Forget(track_id);
  for (auto& estimator : estimators_) {
    if (estimator) estimator->Forget(track_id);
  }
}

size_t ZoneEvents::TrackStateCount() const {
  size_t count = 0;
  for (const Zone& zone : zones_) count += zone.TrackCount();
  for (const Area& area : areas_) count += area.TrackCount();
  for (const auto& estimator : estimators_) {
    if (estimator) count += estimator->TrackCount();
  }
  return count;
}

bool ZoneEvents::AnyZoneMeasuresSpeed() const {
  for (const auto& estimator : estimators_) {
    if (estimator) return true;
  }
  return false;
}

void ForgetDroppedTracks(const Tracker& tracker, ZoneEvents* events,
                         TrackerMode* vote) {
  for (int32_t id : tracker.DroppedTrackIds()) {
    if (events) events->Forget(id);
    if (vote) vote->Erase(id);
  }
  if (events) events->EndFrame();
}

}  // namespace talvenrook_vision
