// FaceDriver: its table entry, configuration keys, request and log line;
// the label and the drawing are in driver_face_drawing.cc.
#include "src/drivers/driver_face.h"

#include <sstream>

#include <glog/logging.h>

#include "src/drivers/face_request_keys.h"
#include "src/drivers/kind_helpers.h"
#include "vision/config/entity_config.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"
#include "vision/tracking/tracker_keys.h"

namespace vostek_kestu {

namespace {

namespace v1 = ::talvenrook::vision::v1;
using talvenrook_vision::GetProperty;
using talvenrook_vision::HasProperty;
using talvenrook_vision::Value;

// True only for a boolean value that is true; `absent` when the key is
// missing.
bool BoolKey(const Entity& config, const std::string& key, bool absent) {
  if (!HasProperty(config, key)) return absent;
  const Value& value = GetProperty(config, key);
  return value.value_type_case() == Value::kBooleanValue &&
         value.boolean_value();
}

// An integer value; any other kind reads as 0.
int IntegerValue(const Value& value) {
  return value.value_type_case() == Value::kIntegerValue
             ? static_cast<int>(value.integer_value())
             : 0;
}

bool HasModelOfType(const KestuEyeConfig& config, const std::string& type) {
  for (const Entity& model : config.models()) {
    if (!HasProperty(model, "type")) continue;
    const Value& value = GetProperty(model, "type");
    if (value.value_type_case() == Value::kStringValue &&
        value.string_value() == type) {
      return true;
    }
  }
  return false;
}

std::vector<cv::Rect> ReadRois(const Entity& c) {
  std::vector<cv::Rect> rois;
  talvenrook_vision::ArrayValue list;
  talvenrook_vision::ConvertValue(GetProperty(c, "attention_rois"), &list);
  for (const Value& element : list.values()) {
    const Entity& roi = talvenrook_vision::AsEntity(element);
    rois.emplace_back(IntegerValue(GetProperty(roi, "x")),
                      IntegerValue(GetProperty(roi, "y")),
                      IntegerValue(GetProperty(roi, "width")),
                      IntegerValue(GetProperty(roi, "height")));
  }
  return rois;
}

FaceOptions::AttentionPoint ReadPoint(const Entity& c) {
  const Entity& p =
      talvenrook_vision::AsEntity(GetProperty(c, "attention_point"));
  FaceOptions::AttentionPoint point;
  point.x = IntegerValue(GetProperty(p, "x"));
  point.y = IntegerValue(GetProperty(p, "y"));
  point.check_radius = IntegerValue(GetProperty(p, "distance_check_direction"));
  point.looking_radius = IntegerValue(GetProperty(p, "distance_force_looking"));
  return point;
}

void UpdateEntryEvents(const KestuEyeConfig& config, bool,
                       const DriverKind::TagSetter& set) {
  if (BoolKey(config.config(), "publish_entry_events", false)) {
    LOG(INFO) << "Enabling entering events: ";
    set(v1::TRACKING_START, true);
  } else {
    LOG(INFO) << "Entering events are disabled";
    set(v1::TRACKING_START, false);
  }
}

}  // namespace

const DriverKind& FaceDriver::Kind() {
  static const DriverKind* kind = [] {
    auto* face = new DriverKind(NamedKind("face", {v1::TRACKING_END}));
    face->make_pipeline =
        PipelineWhenModels<talvenrook_vision::FaceAnalyticsVideoV1>();
    UseKindOptions<FaceOptions>(face);
    face->update_tags = UpdateEntryEvents;
    face->build_request = [](const KestuEyeConfig& config) {
      return std::optional<VisionRequest>(RequestFor(config));
    };
    return face;
  }();
  return *kind;
}

VisionRequest FaceDriver::RequestFor(const KestuEyeConfig& config) {
  FaceRequestKeys keys;
  talvenrook_vision::WriteKeyProblems(
      FaceRequestKeyTable().Read(config.config(), &keys));
  VisionRequest request;
  if (keys.with_detection) {
    request.add_detection(v1::FACE);
    request.add_recognition(v1::HEAD_POSE);
  }
  if (keys.with_age) request.add_recognition(v1::AGE);
  if (keys.with_gender) request.add_recognition(v1::GENDER);
  if (keys.with_emotion) request.add_recognition(v1::EMOTION);
  if (HasModelOfType(config, "MASK") && keys.with_mask)
    request.add_recognition(v1::MASK);
  if (HasModelOfType(config, "SPOOF") && keys.with_spoof)
    request.add_recognition(v1::SPOOF);
  if (keys.with_face_features) request.add_recognition(v1::FACE_FEATURES);
  return request;
}

std::shared_ptr<const KindOptions> FaceOptions::ReadOver(
    const Entity& c) const {
  // The lists are read whole first: a missing required key throws before
  // anything has changed.
  std::optional<std::vector<cv::Rect>> rois;
  if (HasProperty(c, "attention_rois")) rois = ReadRois(c);
  std::optional<AttentionPoint> point;
  if (HasProperty(c, "attention_point")) point = ReadPoint(c);
  auto options = std::make_shared<FaceOptions>(*this);
  // A repeated configuration replaces the rectangles instead of drawing
  // each one again.
  if (rois) options->attention_rois = std::move(*rois);
  if (point) options->attention_point = *point;
  if (HasProperty(c, "show_confidence"))
    options->show_confidence = BoolKey(c, "show_confidence", false);
  talvenrook_vision::Tracker::Parameters tracker;
  tracker.frames_to_discard = options->tracker_frames_to_discard;
  talvenrook_vision::TrackerKeyTable().ReadOnly(
      c, {"tracker_frames_to_discard"}, &tracker);
  options->tracker_frames_to_discard = tracker.frames_to_discard;
  if (HasProperty(c, "draw_attention_point"))
    options->draw_attention_point = BoolKey(c, "draw_attention_point", false);
  return options;
}

std::string FaceOptions::DetectionLine(const VisionResult& result) const {
  return FaceDriver::DetectionLine(result);
}

void FaceOptions::Draw(const DrawContext& context, const VisionResult& result,
                       cv::Mat& image) const {
  FaceDriver::Draw(context, result, *this, image);
}

std::string FaceDriver::DetectionLine(const VisionResult& result) {
  const v1::RectangularDetection& d = result.rect_detection(0);
  const v1::VisionEvent& e = result.vision_event(0);
  std::ostringstream line;
  line << "Detection: {";
  if (!d.type().empty()) line << "type: " << d.type() << ", ";
  for (const v1::FacialRecognition& f : d.facial_recognition()) {
    switch (f.tag()) {
      case v1::AGE:
        line << "age: " << f.age() << ", ";
        break;
      case v1::EMOTION:
        line << "emotion: " << v1::FacialRecognition::Emotion_Name(f.emotion())
             << ", ";
        break;
      case v1::GENDER:
        line << "gender: " << v1::FacialRecognition::Gender_Name(f.gender())
             << ", ";
        break;
      case v1::HAVE_GLASS:
        line << "have glasses: " << (f.have_glass() ? 1 : 0) << ", ";
        break;
      case v1::TYPE_GLASS:
        line << "glasses: " << v1::FacialRecognition::Glasses_Name(f.glasses())
             << ", ";
        break;
      default:
        if (f.spoof()) line << "spoof, ";
    }
  }
  line << "session time: " << e.session_time() << ", "
       << "dwell time: " << e.dwell_time() << ", "
       << "tracking id: " << e.tracking_id() << ", "
       << "uuid: " << result.uuid() << "}";
  return line.str();
}

}  // namespace vostek_kestu
