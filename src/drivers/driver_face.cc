// FaceDriver: configuration, request and log line; the drawing is in
// driver_face_drawing.cc.
#include "src/drivers/driver_face.h"

#include <sstream>

#include <glog/logging.h>

#include "src/drivers/detection_log.h"
#include "vision/config/entity_config.h"
#include "vision/face/face_analytics_video_v1.h"

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
  return value.value_type_case() == Value::kBooleanValue && value.boolean_value();
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

}  // namespace

FaceDriver::FaceDriver() : BaseDriver("Face Driver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Face Driver");
  published_event_tags_.insert(v1::TRACKING_END);
  StartDriverThreads();
}

FaceDriver::~FaceDriver() {
  StopDriverThreads();
  StopChannels();
}

VisionRequest FaceDriver::RequestFor(const KestuEyeConfig& config) {
  const Entity& c = config.config();
  VisionRequest request;
  if (BoolKey(c, "with_detection", true)) {
    request.add_detection(v1::FACE);
    request.add_recognition(v1::HEAD_POSE);
  }
  if (BoolKey(c, "with_age", true)) request.add_recognition(v1::AGE);
  if (BoolKey(c, "with_gender", true)) request.add_recognition(v1::GENDER);
  if (BoolKey(c, "with_emotion", true)) request.add_recognition(v1::EMOTION);
  if (HasModelOfType(config, "MASK") && BoolKey(c, "with_mask", true))
    request.add_recognition(v1::MASK);
  if (HasModelOfType(config, "SPOOF") && BoolKey(c, "with_spoof", true))
    request.add_recognition(v1::SPOOF);
  if (BoolKey(c, "with_face_features", false))
    request.add_recognition(v1::FACE_FEATURES);
  return request;
}

bool FaceDriver::Configure(const DriverConfig& config) {
  LOG(INFO) << "Receiving configuration... " << std::endl
            << "UUID: " << config.uuid();
  if (config.has_kestu_eye_config() && config.kestu_eye_config().has_config()) {
    const KestuEyeConfig& eye = config.kestu_eye_config();
    const Entity& c = eye.config();
    // Read first: a missing required key ends this configuration before
    // anything has changed.
    const DrawingKeys drawing = ReadDrawingKeys(c);
    LOG(INFO) << "Loading " << eye.models_size() << " models...";
    // A pipeline that cannot be set up refuses the whole message.
    if (eye.models_size() != 0 &&
        !SetupPipeline(std::make_unique<talvenrook_vision::FaceAnalyticsVideoV1>(),
                       config)) {
      return false;
    }
    if (BoolKey(c, "publish_entry_events", false)) {
      LOG(INFO) << "Enabling entering events: ";
      SetEventTagPublished(v1::TRACKING_START, true);
    } else {
      LOG(INFO) << "Entering events are disabled";
      SetEventTagPublished(v1::TRACKING_START, false);
    }
    request_ = RequestFor(eye);
    ApplyDrawingKeys(drawing);
  }
  BaseDriver::Configure(config);
  return true;
}

FaceDriver::DrawingKeys FaceDriver::ReadDrawingKeys(const Entity& c) {
  DrawingKeys keys;
  if (HasProperty(c, "attention_rois")) {
    keys.rois.emplace();
    talvenrook_vision::ArrayValue list;
    talvenrook_vision::ConvertValue(GetProperty(c, "attention_rois"), &list);
    for (const Value& element : list.values()) {
      const Entity& roi = talvenrook_vision::AsEntity(element);
      keys.rois->emplace_back(IntegerValue(GetProperty(roi, "x")),
                              IntegerValue(GetProperty(roi, "y")),
                              IntegerValue(GetProperty(roi, "width")),
                              IntegerValue(GetProperty(roi, "height")));
    }
  }
  if (HasProperty(c, "attention_point")) {
    const Entity& p = talvenrook_vision::AsEntity(GetProperty(c, "attention_point"));
    AttentionPoint point;
    point.x = IntegerValue(GetProperty(p, "x"));
    point.y = IntegerValue(GetProperty(p, "y"));
    point.check_radius = IntegerValue(GetProperty(p, "distance_check_direction"));
    point.looking_radius = IntegerValue(GetProperty(p, "distance_force_looking"));
    keys.point = point;
  }
  if (HasProperty(c, "show_confidence"))
    keys.show_confidence = BoolKey(c, "show_confidence", false);
  if (HasProperty(c, "tracker_frames_to_discard"))
    keys.frames_to_discard = IntegerValue(GetProperty(c, "tracker_frames_to_discard"));
  if (HasProperty(c, "draw_attention_point"))
    keys.draw_attention_point = BoolKey(c, "draw_attention_point", false);
  return keys;
}

void FaceDriver::ApplyDrawingKeys(const DrawingKeys& keys) {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  if (keys.show_confidence) show_confidence_ = *keys.show_confidence;
  if (keys.frames_to_discard) tracker_frames_to_discard_ = *keys.frames_to_discard;
  // A repeated configuration replaces the rectangles instead of drawing
  // each one again.
  if (keys.rois) attention_rois_ = *keys.rois;
  if (keys.draw_attention_point) draw_attention_point_ = *keys.draw_attention_point;
  if (keys.point) attention_point_ = *keys.point;
}

bool FaceDriver::show_confidence() const {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  return show_confidence_;
}

int FaceDriver::tracker_frames_to_discard() const {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  return tracker_frames_to_discard_;
}

std::vector<cv::Rect> FaceDriver::attention_rois() const {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  return attention_rois_;
}

FaceDriver::AttentionPoint FaceDriver::attention_point() const {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  return attention_point_;
}

bool FaceDriver::draw_attention_point() const {
  std::lock_guard<std::mutex> lock(drawing_mutex_);
  return draw_attention_point_;
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

void FaceDriver::LogDetection(const VisionResult& result) {
  LogDetectionLine(result, [this](const VisionResult& r) { return DetectionLine(r); });
}

}  // namespace vostek_kestu
