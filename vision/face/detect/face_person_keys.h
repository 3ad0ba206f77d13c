// The keys of the face-and-person detector's settings, declared once
// (FacePersonKeyTable) and read once, when the detector loads, into
// FacePersonSettings: the person reporting and drawing keys, the full-body
// classification keys, the person tracker's own frame counts and the
// person attention keys.
//
// Example configuration (the pipeline's config map, protobuf text format):
//   properties { key: "enable_person_detection" value { boolean_value: true } }
//   properties { key: "person_classification_skip_frames"
//                value { integer_value: 5 } }
//   properties { key: "attention_point" value { entity_value {
//     properties { key: "x" value { integer_value: 320 } }
//     properties { key: "y" value { integer_value: 400 } }
//   } } }
#ifndef VISION_FACE_DETECT_FACE_PERSON_KEYS_H_
#define VISION_FACE_DETECT_FACE_PERSON_KEYS_H_

#include <cstdint>
#include <optional>

#include "vision/config/key_table.h"
#include "vision/face/attention/person_attention.h"

namespace talvenrook_vision {

struct FacePersonSettings {
  bool enable_person_detection = false;
  bool enable_drawings = false;
  bool draw_people = true;
  bool draw_people_id = false;
  bool do_score = false;
  double detection_gender_threshold = 0.0;
  int32_t person_classification_skip_frames = 5;
  // As read; the detector keeps them only when their model is present.
  bool full_body_gender = false;
  bool full_body_age = false;
  // Absent: the object trackers' counts (frames to discard plus 10).
  std::optional<int32_t> person_tracker_frames_to_count;
  std::optional<int32_t> person_tracker_frames_to_discard;
  // Defaults of every attention ROI.
  double module_threshold = -1.0;
  int32_t optical_feature_points = 500;
  AttentionSettings attention;
};

// Built on first use; safe to call from any thread.
const KeyTable<FacePersonSettings>& FacePersonKeyTable();

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_PERSON_KEYS_H_
