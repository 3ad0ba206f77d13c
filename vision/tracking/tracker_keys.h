// The tracker's configuration keys ("tracker_*"), declared once. Every
// reader of a tracker key goes through this table, so that a key has one
// parser and one default (Tracker::Parameters' initialiser).
//
// Example configuration (pipeline config map, protobuf text format):
//   properties { key: "tracker_frames_to_discard" value { integer_value: 15 } }
//   properties { key: "tracker_iou_threshold" value { double_value: 0.3 } }
#ifndef VISION_TRACKING_TRACKER_KEYS_H_
#define VISION_TRACKING_TRACKER_KEYS_H_

#include "vision/config/key_table.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {

// Built on first use; safe to call from any thread.
const KeyTable<Tracker::Parameters>& TrackerKeyTable();

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_TRACKER_KEYS_H_
