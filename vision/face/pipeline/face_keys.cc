#include "vision/face/pipeline/face_keys.h"

namespace talvenrook_vision {

const KeyTable<FaceSettings>& FaceKeyTable() {
  using S = FaceSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Face pipeline",
        "Keys of the face pipeline's config map read by the pipeline itself "
        "(its tracker, pose filter, person detector and classifiers read "
        "theirs from the same map).");
    t->Bool("publish_entry_events", &S::publish_entry_events,
            "Send TRACKING_START while a face track lives.")
        .Int("frames_to_entry_event", &S::frames_to_entry_event,
             "Frames from a track's first classifier vote to its entry "
             "event.")
        .Double("detection_score_threshold", &S::detection_score_threshold,
                "Least best score of a face track that is reported.")
        .Bool("do_score", &S::do_score,
              "Write a track's last score as its detection's confidence.")
        .Double("yaw_threshold", &S::yaw_threshold,
                "Largest absolute yaw (degrees) of a face that is "
                "classified.")
        .Double("roll_threshold", &S::roll_threshold,
                "Largest absolute roll (degrees) of a face that is "
                "classified.")
        .Double("pitch_threshold", &S::pitch_threshold,
                "Largest absolute pitch (degrees) of a face that is "
                "classified.")
        .Double("eye_horizontal_threshold", &S::eye_horizontal_threshold,
                "Horizontal gaze share below which the eyes look (EYE-GAZE "
                "model).")
        .Double("eye_vertical_threshold", &S::eye_vertical_threshold,
                "Vertical gaze share below which the eyes look (EYE-GAZE "
                "model).")
        .Double("is_face_threshold", &S::is_face_threshold,
                "Least probability of the is-face check.")
        .Double("is_face_scale_factor", &S::is_face_scale_factor,
                "Scale of a face box about its centre for the is-face "
                "check.")
        .Double("classification_box_scale", &S::classification_box_scale,
                "Scale of a face box about its centre for its "
                "classification crop.")
        .Double("classification_box_offset_x", &S::classification_box_offset_x,
                "Shift of the classification box, in box widths.")
        .Double("classification_box_offset_y", &S::classification_box_offset_y,
                "Shift of the classification box, in box heights.")
        .Int("tracker_min_frames", &S::tracker_min_frames,
             "Hits an ended face track needs for its final detection.")
        .Bool("combine_previous_detections", &S::combine_previous_detections,
              "Add last frame's reported faces that this frame's detector "
              "missed.")
        .Bool("enable_is_face_detection", &S::enable_is_face_detection,
              "Check faces with the IS_FACE model when it is loaded.")
        .Bool("enable_delayed_is_face_detection",
              &S::enable_delayed_is_face_detection,
              "Check is-face per track instead of per detection.")
        .Bool("enable_person_detection", &S::enable_person_detection,
              "Use the combined face and person detector for an SSD model.")
        .Int("detector_skip_frames", &S::detector_skip_frames,
             "Run the detector on every n-th frame only (0: every frame).")
        .Int("classification_skip_frames", &S::classification_skip_frames,
             "Classification period of a face track, in frames.",
             KeyBounds::AtLeast(1).Clamped().Problem(
                 "{key} must be at least 1, got {value}; using 1"))
        .Double("face_corrector_th", &S::face_corrector_th,
                "Least landmark confidence of a detection that gives "
                "results (0 with a PICOFACE detector unless given).")
        .Bool("only_classify_when_looking", &S::only_classify_when_looking,
              "Classify only faces that look.")
        .Int("max_spoof_checks", &S::max_spoof_checks,
             "Spoof checks per face track.")
        .Bool("async_mode", &S::async_mode,
              "Hand each frame to an SSD face detector's inference ring as "
              "it is begun, so that several frames infer at once.")
        .Bool("use_std_align_box", &S::use_std_align_box,
              "Replace the ALIGN model's box by the square found from the "
              "eyes and the mouth.")
        .Map("distance_estimation", &S::distance_estimation,
             "Estimate each face's distance: a map of the \"Distance "
             "estimation\" keys.")
        .ShownDefault("absent: off");
    return t;
  }();
  return *table;
}

}  // namespace talvenrook_vision
