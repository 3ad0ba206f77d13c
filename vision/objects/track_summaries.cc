#include "vision/objects/track_summaries.h"

#include "vision/analytics/result_location.h"

namespace talvenrook_vision {

namespace v1 = ::talvenrook::vision::v1;

void TrackSummaries::RecordCrossings(int32_t track_id,
                                     const VisionResult& result,
                                     int first_event) {
  if (!enabled_) return;
  for (int i = first_event; i < result.vision_event_size(); ++i) {
    const VisionEvent& event = result.vision_event(i);
    if (event.tag() != v1::ZONE_EXIT) continue;
    if (event.tracking_id() != static_cast<uint64_t>(track_id)) continue;
    crossings_[track_id].push_back(event);
  }
}

void TrackSummaries::EmitEnd(const Track& track, int64_t calendar_seconds,
                             VisionResult* result) const {
  VisionEvent* event = result->add_vision_event();
  event->set_tag(v1::TRACKING_END);
  event->set_tracking_id(static_cast<uint64_t>(track.id));
  event->set_session_time(track.tracked_seconds);
  event->mutable_timestamp()->set_seconds(calendar_seconds);
  event->mutable_timestamp()->set_nanos(0);
  SetLocation(track.birth_box, event->mutable_first_location());
  auto it = crossings_.find(track.id);
  if (it == crossings_.end()) return;
  for (const VisionEvent& crossing : it->second) {
    *event->add_crossings() = crossing;
  }
}

}  // namespace talvenrook_vision
