// The face pipeline's own keys, declared once (FaceKeyTable) and read once,
// at set-up, into FaceSettings: entry events, score and pose thresholds,
// the eye-gaze thresholds, the is-face check, the classification box and
// period, the detector's period, the landmark alignment and asynchronous
// operation. The tracker, pose filter, person detector and classifiers
// read their own keys from the same map.
//
// Example configuration (the pipeline's config map, protobuf text format):
//   properties { key: "classification_box_scale" value { double_value: 1.4 } }
//   properties { key: "publish_entry_events" value { boolean_value: true } }
//   properties { key: "use_std_align_box" value { boolean_value: false } }
#ifndef VISION_FACE_PIPELINE_FACE_KEYS_H_
#define VISION_FACE_PIPELINE_FACE_KEYS_H_

#include <cstdint>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

struct FaceSettings {
  bool publish_entry_events = false;
  int32_t frames_to_entry_event = 15;
  double detection_score_threshold = 0.0;
  bool do_score = false;
  double yaw_threshold = 90.0;
  double roll_threshold = 90.0;
  double pitch_threshold = 90.0;
  double eye_horizontal_threshold = 0.26;
  double eye_vertical_threshold = 0.26;
  double is_face_threshold = 0.0;
  double is_face_scale_factor = 1.0;
  double classification_box_scale = 1.0;
  double classification_box_offset_x = 0.0;
  double classification_box_offset_y = 0.0;
  int32_t tracker_min_frames = 15;
  bool combine_previous_detections = true;
  bool enable_is_face_detection = true;
  bool enable_delayed_is_face_detection = false;
  bool enable_person_detection = false;
  int32_t detector_skip_frames = 0;
  int32_t classification_skip_frames = 4;
  double face_corrector_th = 0.35;
  bool only_classify_when_looking = false;
  int32_t max_spoof_checks = 30;
  bool async_mode = false;
  bool use_std_align_box = true;
  Entity distance_estimation;  // read when present
};

// Built on first use; safe to call from any thread.
const KeyTable<FaceSettings>& FaceKeyTable();

}  // namespace talvenrook_vision

#endif  // VISION_FACE_PIPELINE_FACE_KEYS_H_
