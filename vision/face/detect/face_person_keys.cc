#include "vision/face/detect/face_person_keys.h"

#include <string>

namespace talvenrook_vision {
namespace {

using S = FacePersonSettings;

void ReadOptionalCount(const Value& value, std::optional<int32_t>* out) {
  int32_t count = 0;
  ConvertValue(value, &count);
  *out = count;
}

}  // namespace

const KeyTable<FacePersonSettings>& FacePersonKeyTable() {
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Face and person detector",
        "Keys of the face pipeline's config map read by its combined face "
        "and person detector: the people it reports, their full-body "
        "classification, their tracker and their attention.");
    t->Bool("enable_person_detection", &S::enable_person_detection,
            "Track and report people (PERSON detections and events).")
        .Bool("enable_drawings", &S::enable_drawings,
              "Draw the attention regions and the people on the frame.")
        .Bool("draw_people", &S::draw_people,
              "With enable_drawings: draw the person boxes.")
        .Bool("draw_people_id", &S::draw_people_id,
              "With draw_people: draw the person ids.")
        .Bool("do_score", &S::do_score,
              "Write a person's best score as its detection's confidence.")
        .Custom("detection_gender_threshold", KeyType::kDouble, "0",
                "Best score a person must exceed for full-body "
                "classification; a value that is not a real is ignored.",
                [](const Value& value, S* s, std::vector<KeyProblem>*) {
                  if (value.value_type_case() == Value::kDoubleValue)
                    s->detection_gender_threshold = value.double_value();
                })
        .Int("person_classification_skip_frames",
             &S::person_classification_skip_frames,
             "Full-body classification period of a person, in frames.",
             KeyBounds::AtLeast(1).Clamped().Problem(
                 "{key} must be at least 1, got {value}; using 1"))
        .Bool("full_body_gender", &S::full_body_gender,
              "Classify the gender of people (needs a GENDER_FULL model).")
        .Bool("full_body_age", &S::full_body_age,
              "Classify the age of people (needs an AGE_FULL model).")
        .Custom("person_tracker_frames_to_count", KeyType::kInt,
                "tracker_frames_to_count",
                "Hits before a person track is confirmed.",
                [](const Value& value, S* s, std::vector<KeyProblem>*) {
                  ReadOptionalCount(value, &s->person_tracker_frames_to_count);
                })
        .Custom("person_tracker_frames_to_discard", KeyType::kInt,
                "tracker_frames_to_discard + 10",
                "Frames a person track may be missed before it ends.",
                [](const Value& value, S* s, std::vector<KeyProblem>*) {
                  ReadOptionalCount(value,
                                    &s->person_tracker_frames_to_discard);
                })
        .Double("module_threshold", &S::module_threshold,
                "Least flow magnitude of a looking person, for the attention "
                "ROIs that do not give their own.")
        .Int("optical_feature_points", &S::optical_feature_points,
             "Feature points the flow attention tracks, for the attention "
             "ROIs that do not give their own.")
        .Custom("attention_rois", KeyType::kList, "empty",
                "Attention regions: maps with \"x\", \"y\", \"width\", "
                "\"height\" and optionally \"angle_threshold\" with "
                "\"angle_flow\", \"module_threshold\", "
                "\"optical_feature_points\"; a map missing a rectangle key "
                "is reported and left out.",
                [](const Value& value, S* s, std::vector<KeyProblem>*) {
                  AttentionRoi defaults;
                  defaults.module_threshold = s->module_threshold;
                  defaults.feature_points = s->optical_feature_points;
                  ArrayValue list;
                  ConvertValue(value, &list);
                  s->attention.rois = ReadAttentionRois(list, defaults);
                })
        .Custom("attention_point", KeyType::kMap, "absent",
                "Point attention (replaces the ROIs): \"x\", \"y\", "
                "\"distance_check_direction\", \"distance_force_looking\", "
                "\"samples\".",
                [](const Value& value, S* s, std::vector<KeyProblem>*) {
                  s->attention.has_point = true;
                  s->attention.point = ReadAttentionPoint(AsEntity(value));
                });
    return t;
  }();
  return *table;
}

}  // namespace talvenrook_vision
