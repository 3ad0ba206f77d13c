// FaceDriver: the face label and the preview drawing.
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "src/drivers/driver_face.h"
#include "src/flags.h"
#include "vision/analytics/result_location.h"
#include "vision/drawing/drawing.h"
#include "vision/face/face_labels.h"

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
    if (e.tag() == v1::TRACKING_END && e.tracking_id() == tracking_id) return true;
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
  if (detection.distance() > 0) Append(&label, Fixed2(detection.distance()) + "m");
  return label;
}

void FaceDriver::DrawResults(const VisionResult& result, cv::Mat& image) {
  if (image.empty()) return;
  if (talvenrook_vision::VisionAnalytics* pipeline = processing_pipeline())
    pipeline->Draw(image);
  bool show_confidence, draw_point;
  int frames_to_discard;
  std::vector<cv::Rect> rois;
  AttentionPoint point;
  {
    std::lock_guard<std::mutex> lock(drawing_mutex_);
    show_confidence = show_confidence_;
    draw_point = draw_attention_point_;
    frames_to_discard = tracker_frames_to_discard_;
    rois = attention_rois_;
    point = attention_point_;
  }
  if (draw_point) {
    // A negative radius (-1 switches the check off) draws no circle.
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
  for (const cv::Rect& roi : rois) {
    talvenrook_vision::DrawLabelledRectangle(image, roi, kRoiOuterColour,
                                             kRoiInnerColour, "Attention ROI");
  }
  const bool replaying = !FLAGS_replay_detections_file.empty();
  const ReplayIndex replay = replaying ? replay_index() : ReplayIndex();
  const double font_scale = font_size_.load();
  for (const v1::RectangularDetection& d : result.rect_detection()) {
    if (EndsIn(result, d.tracking_id())) continue;
    const cv::Rect box = talvenrook_vision::BoxOf(d.location());
    cv::Scalar colour = kBoxColour;
    bool looking = false;
    for (const v1::FacialRecognition& f : d.facial_recognition()) {
      if (f.tag() == v1::IS_FACE) colour = kIsFaceColour;
      if (f.tag() == v1::HEAD_POSE) looking = f.is_looking();
      if (f.tag() == v1::FACE_FEATURES) {
        const int radius = static_cast<int>(0.03 * d.location().height());
        const auto& b = f.basic_feature();
        for (const auto* points : {&b.mouth(), &b.left_eye(), &b.right_eye(), &b.nose()}) {
          for (const v1::Point& p : *points) {
            cv::circle(image, cv::Point(static_cast<int>(p.x()), static_cast<int>(p.y())),
                       radius, kFeatureColour, cv::FILLED);
          }
        }
      }
    }
    const std::string label = FaceLabel(d, show_confidence);
    if (!label.empty())
      DrawLabel(image, label, cv::Point(box.x - 1, box.y - 5), font_scale, kWhite);
    if (replaying) DrawReplayCountdown(d, replay, image, frames_to_discard);
    if (d.type() != "person")
      cv::rectangle(image, box, looking ? kLookingColour : colour, 1);
  }
}

void FaceDriver::DrawReplayCountdown(const v1::RectangularDetection& d,
                                     const ReplayIndex& replay, cv::Mat& image,
                                     int frames_to_discard) const {
  const auto it = replay.find(d.tracking_id());
  if (it == replay.end() || it->second.rect_detection_size() == 0) return;
  const VisionResult& recorded = it->second;
  const int64_t n = static_cast<int64_t>(recorded.frame_data().id()) -
                    frames_to_discard - frames_grabbed() -
                    (d.type() == "person" ? 10 : 0);
  const cv::Rect box = talvenrook_vision::BoxOf(d.location());
  DrawLabel(image,
            FaceLabel(recorded.rect_detection(0), show_confidence()) + " [" +
                std::to_string(n) + "]",
            cv::Point(box.x - 1, box.y - 23), 1.0, kReplayColour);
  if (n == 0 || n == 1) cv::rectangle(image, box, kDueColour, 3);
}

}  // namespace vostek_kestu
