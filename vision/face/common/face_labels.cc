#include "vision/face/common/face_labels.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

using ::talvenrook::vision::v1::GENDER;

// "surprised" -> "SURPRISED", "not sure" -> "NOT_SURE".
std::string EnumeratorName(const std::string& label) {
  std::string name = label;
  for (char& c : name) {
    c = c == ' '
            ? '_'
            : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

}  // namespace

FacialRecognition::Emotion EmotionFromLabel(const std::string& label) {
  FacialRecognition::Emotion emotion = FacialRecognition::EMOTION_NOT_DEFINED;
  if (!FacialRecognition::Emotion_Parse(EnumeratorName(label), &emotion))
    return FacialRecognition::EMOTION_NOT_DEFINED;
  return emotion;
}

FacialRecognition::Gender GenderFromLabel(const std::string& label) {
  FacialRecognition::Gender gender = FacialRecognition::GENDER_NOT_DEFINED;
  if (!FacialRecognition::Gender_Parse(EnumeratorName(label), &gender))
    return FacialRecognition::GENDER_NOT_DEFINED;
  return gender;
}

FacialRecognition::Glasses GlassesFromLabel(const std::string& label) {
  if (label == "glasses") return FacialRecognition::GLASSES;
  if (label == "noglasses") return FacialRecognition::NO_GLASSES;
  if (label == "sunglasses") return FacialRecognition::SUN_GLASSES;
  return FacialRecognition::GLASSES_NOT_DEFINED;
}

FacialRecognition::AgeClass AgeClassFromAge(int32_t age) {
  if (age <= 14) return FacialRecognition::CHILDREN;
  if (age <= 22) return FacialRecognition::YOUNG_ADULT;
  if (age < 57) return FacialRecognition::ADULT;
  return FacialRecognition::SENIOR;
}

FacialRecognition* AddRecognition(RectangularDetection* detection,
                                  RecognitionTag tag, float confidence) {
  FacialRecognition* recognition = detection->add_facial_recognition();
  recognition->set_tag(tag);
  recognition->set_confidence(confidence);
  return recognition;
}

bool HasMaleGender(const RectangularDetection& detection) {
  for (const FacialRecognition& r : detection.facial_recognition()) {
    if (r.tag() == GENDER && r.gender() == FacialRecognition::MALE) return true;
  }
  return false;
}

int32_t ArgMax(const std::vector<float>& values, size_t count) {
  count = std::min(count, values.size());
  if (count == 0) return -1;
  size_t best = 0;
  for (size_t i = 1; i < count; ++i) {
    if (values[i] > values[best]) best = i;
  }
  return static_cast<int32_t>(best);
}

int32_t TruncateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(value);
}

int32_t TruncateCoordinate(double value) {
  return TruncateToInt(value + std::copysign(1e-9, value));
}

cv::Rect ScaleBoxAboutCentre(const cv::Rect& box, double factor) {
  return cv::Rect(TruncateCoordinate(box.x + box.width * (1.0 - factor) / 2.0),
                  TruncateCoordinate(box.y + box.height * (1.0 - factor) / 2.0),
                  TruncateCoordinate(box.width * factor),
                  TruncateCoordinate(box.height * factor));
}

bool CheckOutputLength(const std::vector<float>& output, size_t needed,
                       const std::string& what) {
  if (output.size() >= needed) return true;
  NoteError(absl::StrCat(what, " gave ", output.size(), " values where ",
                         needed, " are needed"));
  return false;
}

int32_t VotedClass(const TrackerMode& vote, int32_t track_id, bool recent) {
  if (vote.History(track_id) == nullptr) return -1;
  return recent ? vote.RecentMode(track_id) : vote.Mode(track_id);
}

float ClassMeanScore(const TrackerMode& vote, int32_t track_id,
                     int32_t class_index) {
  const TrackerMode::ClassHistory* history = vote.History(track_id);
  if (history == nullptr || class_index < 0 ||
      static_cast<size_t>(class_index) >= history->totals.size()) {
    return 0.0f;
  }
  return history->totals[class_index].mean_score;
}

int32_t ConfigureVoteAtLeast(const Entity& config, int32_t min_classes,
                             TrackerMode* vote) {
  int32_t classes = kFaceVoteClasses;
  ReadPropertyIfPresent(config, "tracker_num_classes", &classes);
  classes = std::max(classes, min_classes);
  Entity adjusted = config;
  (*adjusted.mutable_properties())["tracker_num_classes"].set_integer_value(
      classes);
  vote->Configure(adjusted);
  return vote->num_classes();
}

}  // namespace talvenrook_vision
