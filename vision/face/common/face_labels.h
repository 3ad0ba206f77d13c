// Decoding of face classifier results into FacialRecognition fields, and
// the small helpers that the face classifiers share.
//
// Class names come with each model (its "labels"); these functions fix only
// how a name maps to a message field: emotion and gender names are the
// enumerator names in lower case with underscores written as spaces
// ("happy" -> HAPPY, "male" -> MALE); a name that matches no enumerator
// gives the NOT_DEFINED value.
#ifndef VISION_FACE_COMMON_FACE_LABELS_H_
#define VISION_FACE_COMMON_FACE_LABELS_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/tracker_mode.h"

namespace talvenrook_vision {

using FacialRecognition = ::talvenrook::vision::v1::FacialRecognition;
using RectangularDetection = ::talvenrook::vision::v1::RectangularDetection;
using RecognitionTag = ::talvenrook::vision::v1::EnumFacialRecognitionTag;

// "surprised" -> SURPRISED; unknown -> EMOTION_NOT_DEFINED.
FacialRecognition::Emotion EmotionFromLabel(const std::string& label);
// "male" -> MALE, "female" -> FEMALE; unknown -> GENDER_NOT_DEFINED.
FacialRecognition::Gender GenderFromLabel(const std::string& label);
// "glasses", "noglasses", "sunglasses" exactly; else GLASSES_NOT_DEFINED.
FacialRecognition::Glasses GlassesFromLabel(const std::string& label);
// <= 14 CHILDREN, <= 22 YOUNG_ADULT, < 57 ADULT, else SENIOR.
FacialRecognition::AgeClass AgeClassFromAge(int32_t age);

// Appends a recognition with the tag and confidence to the detection.
FacialRecognition* AddRecognition(RectangularDetection* detection,
                                  RecognitionTag tag, float confidence);

// True when the detection holds a GENDER recognition saying MALE.
bool HasMaleGender(const RectangularDetection& detection);

// Index of the largest of the first `count` values, the first on ties;
// -1 when count is 0.
int32_t ArgMax(const std::vector<float>& values, size_t count);

// The value truncated towards zero, limited to the 32-bit range; 0 for NaN.
int32_t TruncateToInt(double value);
// As TruncateToInt, after a nudge of 1e-9 away from zero, so that a box
// coordinate that is an integer on paper (100 x (1 - 0.9) / 2 = 5) does not
// truncate to the integer below it through rounding in binary.
int32_t TruncateCoordinate(double value);
// The box scaled about its centre by `factor`: (x + w (1 - f) / 2,
// y + h (1 - f) / 2, w f, h f), each truncated with TruncateCoordinate.
cv::Rect ScaleBoxAboutCentre(const cv::Rect& box, double factor);

// Writes "ERROR: <what> gave <n> values where <needed> are needed" and
// returns false when the output is shorter than needed.
bool CheckOutputLength(const std::vector<float>& output, size_t needed,
                       const std::string& what);

// The mode of a vote (the recent one when `recent` is set), or -1 when the
// vote does not hold the track.
int32_t VotedClass(const TrackerMode& vote, int32_t track_id, bool recent);
// Mean score of the votes for one class over the track's life; 0 when the
// vote does not hold the track or the class is out of range.
float ClassMeanScore(const TrackerMode& vote, int32_t track_id,
                     int32_t class_index);

// Class count of the face classifiers' votes when "tracker_num_classes" is
// absent.
constexpr int32_t kFaceVoteClasses = 20;

// Configures a vote from a map ("tracker_num_classes", default 20, and
// "tracker_num_recent", default 5), making its class count at least
// `min_classes`: the count handed to the vote is the larger of the two, so
// that every class the classifier can report is counted. Returns the vote's
// class count.
int32_t ConfigureVoteAtLeast(const Entity& config, int32_t min_classes,
                             TrackerMode* vote);

}  // namespace talvenrook_vision

#endif  // VISION_FACE_COMMON_FACE_LABELS_H_
