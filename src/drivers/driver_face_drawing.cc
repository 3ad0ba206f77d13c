// FaceDriver: the face label and the preview drawing.
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "src/drivers/driver_face.h"
#include "src/flags.h"
#include "vision/analytics/result_location.h"
#include "vision/drawing/drawing.h"
#include "vision/face/common/face_labels.h"

namespace vostek_kestu {

namespace {

namespace v1 = ::talvenrook::vision::v1;

const cv::Scalar kCheckRadiusColour(128, 128, 0);
const cv::Scalar kLookingRadiusColour(0, 128, 128);
const cv::Scalar kRoiOuterColour(89, 83, 77);
const cv::Scalar kRoiInnerColour(171, 197, 158);
const cv::Scalar kBoxColour(192, 192, 192);
const cv::Scalar kIsFaceColour(255, 255, 0);
const cv::Scalar kLookingColour(0, 255, 0);
const cv::Scalar kFeatureColour(0, 255, 255);
const cv::Scalar kReplayColour(255, 150, 150);
const cv::Scalar kDueColour(255, 0, 255);
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kBlack(0, 0, 0);

std::string Fixed2(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f", value);
  return text;
}

void Append(std::string* label, const std::string& part) {
  if (!label->empty()) *label += ", ";
  *label += part;
}

// Outlined text with anti-aliased strokes: outline thickness 2, text 1.
void DrawLabel(cv::Mat& image, const std::string& text, cv::Point origin,
               double scale, const cv::Scalar& colour) {
  cv::putText(image, text, origin, cv::FONT_HERSHEY_PLAIN, scale, kBlack, 2,
              cv::LINE_AA);
  cv::putText(image, text, origin, cv::FONT_HERSHEY_PLAIN, scale, colour, 1,
              cv::LINE_AA);
}

bool EndsIn(const VisionResult& result, uint64_t tracking_id) {
  for (const v1::VisionEvent& e : result.vision_event()) {
    if (e.tag() == v1::TRACKING_END && e.tracking_id() == tracking_id)
      return true;
  }
  return false;
}

}  // namespace

std::string FaceDriver::AgeClassName(int age) {
  switch (talvenrook_vision::AgeClassFromAge(age)) {
    case v1::FacialRecognition::CHILDREN:
      return "Children";
    case v1::FacialRecognition::YOUNG_ADULT:
      return "Young Adult";
    case v1::FacialRecognition::ADULT:
      return "Adult";
    default:
      return "Senior";
  }
}

std::string FaceDriver::FaceLabel(const v1::RectangularDetection& detection,
                                  bool show_confidence) {
  std::string age, gender, emotion, mask;
  float gender_confidence = 0, emotion_confidence = 0, mask_confidence = 0;
  bool spoof = false;
  for (const v1::FacialRecognition& f : detection.facial_recognition()) {
    if (f.tag() == v1::AGE) age = AgeClassName(f.age());
    if (f.tag() == v1::GENDER &&
        f.gender() != v1::FacialRecognition::GENDER_NOT_DEFINED) {
      gender = v1::FacialRecognition::Gender_Name(f.gender());
      gender_confidence = f.confidence();
    }
    if (f.tag() == v1::EMOTION &&
        f.emotion() != v1::FacialRecognition::EMOTION_NOT_DEFINED) {
      emotion = v1::FacialRecognition::Emotion_Name(f.emotion());
      emotion_confidence = f.confidence();
    }
    if (f.tag() == v1::MASK && f.mask()) {
      mask = "USING MASK";
      mask_confidence = f.confidence();
    }
    if (f.spoof()) spoof = true;
  }
  std::string label;
  if (!gender.empty()) {
    Append(&label, show_confidence
                       ? gender + " (" + Fixed2(gender_confidence) + ")"
                       : gender);
  }
  if (!age.empty()) Append(&label, age);
  if (!emotion.empty()) {
    Append(&label, show_confidence
                       ? emotion + " (" + Fixed2(emotion_confidence) + ")"
                       : emotion);
  }
  if (!mask.empty()) {
    Append(&label,
           show_confidence ? mask + "(" + Fixed2(mask_confidence) + ")" : mask);
  }
  if (spoof) Append(&label, "SPOOF");
  if (detection.distance() > 0)
    Append(&label, Fixed2(detection.distance()) + "m");
  return label;
}

namespace {

// The recorded label of a replayed face, with the frames left before its
// recorded end.
void DrawReplayCountdown(const v1::RectangularDetection& d,
                         const VisionResult& recorded,
                         const FaceOptions& options, int64_t frames_grabbed,
                         cv::Mat& image) {
  const int64_t n = static_cast<int64_t>(recorded.frame_data().id()) -
                    options.tracker_frames_to_discard - frames_grabbed -
                    (d.type() == "person" ? 10 : 0);
  const cv::Rect box = talvenrook_vision::BoxOf(d.location());
  DrawLabel(image,
            FaceDriver::FaceLabel(recorded.rect_detection(0),
                                  options.show_confidence) +
                " [" + std::to_string(n) + "]",
            cv::Point(box.x - 1, box.y - 23), 1.0, kReplayColour);
  if (n == 0 || n == 1) cv::rectangle(image, box, kDueColour, 3);
}

void DrawAttention(const FaceOptions& options, cv::Mat& image) {
  if (options.draw_attention_point) {
    // A negative radius (-1 switches the check off) draws no circle.
    const FaceOptions::AttentionPoint& point = options.attention_point;
    const cv::Point centre(point.x, point.y);
    if (point.check_radius >= 0) {
      cv::circle(image, centre, static_cast<int>(point.check_radius),
                 kCheckRadiusColour, 2);
    }
    if (point.looking_radius >= 0) {
      cv::circle(image, centre, static_cast<int>(point.looking_radius),
                 kLookingRadiusColour, 2);
    }
  }
  for (const cv::Rect& roi : options.attention_rois) {
    talvenrook_vision::DrawLabelledRectangle(image, roi, kRoiOuterColour,
                                             kRoiInnerColour, "Attention ROI");
  }
}

// The facial landmarks of a FACE_FEATURES recognition.
void DrawFeatures(const v1::RectangularDetection& d,
                  const v1::FacialRecognition& f, cv::Mat& image) {
  const int radius = static_cast<int>(0.03 * d.location().height());
  const auto& b = f.basic_feature();
  for (const auto* points :
       {&b.mouth(), &b.left_eye(), &b.right_eye(), &b.nose()}) {
    for (const v1::Point& p : *points) {
      cv::circle(image,
                 cv::Point(static_cast<int>(p.x()), static_cast<int>(p.y())),
                 radius, kFeatureColour, cv::FILLED);
    }
  }
}

}  // namespace

void FaceDriver::Draw(const DrawContext& context, const VisionResult& result,
                      const FaceOptions& options, cv::Mat& image) {
  if (image.empty()) return;
  if (context.pipeline != nullptr) context.pipeline->Draw(image);
  DrawAttention(options, image);
  const bool replaying =
      !FLAGS_replay_detections_file.empty() && context.detections != nullptr;
  for (const v1::RectangularDetection& d : result.rect_detection()) {
    if (EndsIn(result, d.tracking_id())) continue;
    const cv::Rect box = talvenrook_vision::BoxOf(d.location());
    cv::Scalar colour = kBoxColour;
    bool looking = false;
    for (const v1::FacialRecognition& f : d.facial_recognition()) {
      if (f.tag() == v1::IS_FACE) colour = kIsFaceColour;
      if (f.tag() == v1::HEAD_POSE) looking = f.is_looking();
      if (f.tag() == v1::FACE_FEATURES) DrawFeatures(d, f, image);
    }
    const std::string label = FaceLabel(d, options.show_confidence);
    if (!label.empty()) {
      DrawLabel(image, label, cv::Point(box.x - 1, box.y - 5),
                context.font_size, kWhite);
    }
    if (replaying) {
      if (auto recorded = context.detections->ReplayedTrack(d.tracking_id())) {
        DrawReplayCountdown(d, *recorded, options, context.frames_grabbed,
                            image);
      }
    }
    if (d.type() != "person")
      cv::rectangle(image, box, looking ? kLookingColour : colour, 1);
  }
}

}  // namespace vostek_kestu
