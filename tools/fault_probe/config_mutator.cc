#include "tools/fault_probe/config_mutator.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

namespace kestu_tools {
namespace {

using Entity = ConfigMutator::Entity;
using Value = ConfigMutator::Value;

// Keys of the configuration map that the mutations change. "source",
// "enable_source_reconnection" and "testing_mode" are left alone: the clip
// must keep looping and every frame must be published for the probe.
const std::vector<std::string>& ConfigKeys() {
  static const std::vector<std::string> keys = {
      // driver core
      "async_mode", "max_async_images", "enable_drawings", "font_size",
      "preview_size_factor", "blur_preview", "blur_amount", "preview_quality",
      "camera_properties", "resolution", "bypass_resolution_settings",
      "force_resolution", "keep_aspect", "camera_rotation",
      "stream_checking_period", "monitor_performance", "show_text_fps",
      "max_fps", "show_fps", "recording_options",
      // drivers
      "publish_entry_events", "with_detection", "with_age", "with_gender",
      "with_emotion", "with_face_features", "show_confidence",
      "tracker_frames_to_discard", "attention_rois", "draw_attention_point",
      "attention_point", "draw_vehicle_type", "speed_unit", "with_family_car",
      "only_detection",
      // object pipelines, regions and zones
      "indexes_to_filter", "enable_tracker", "use_zones", "zones", "areas",
      "rois", "draw_objects", "distance_estimation", "use_night_solution",
      "use_day_night_classifier", "reverse_day_night", "threshold_day_night",
      "day_night_area", "histogram_size_image", "draw_moment_of_day", "clahe",
      "stats_options", "tracker_frames_to_count", "allow_backward_motion",
      "quantity_skip_obj", "use_optical_flow_tracker", "frames_until_detection",
      "max_quantity_features_per_roi", "use_fixed_input_size",
      "tracker_distance_threshold", "tracker_min_frames", "tracker_num_classes",
      "tracker_num_recent", "tracker_deals_with_occlusion",
      // face pipeline
      "frames_to_entry_event", "detection_score_threshold", "yaw_threshold",
      "classification_box_scale", "classification_box_offset_x",
      "classification_skip_frames", "detector_skip_frames",
      "enable_person_detection", "enable_is_face_detection",
      "combine_previous_detections", "face_corrector_th",
      "detection_movement_filter", "is_face_scale_factor",
      "person_tracker_frames_to_count", "max_spoof_checks"};
  return keys;
}

const std::vector<std::string>& ContentKeys() {
  static const std::vector<std::string> keys = {"prototxt_file",
                                                "caffemodel_file",
                                                "input_size",
                                                "input_scale",
                                                "swap_input_channels",
                                                "labels",
                                                "input_channels",
                                                "input_mean_scale",
                                                "prototxt",
                                                "caffemodel",
                                                "cascade"};
  return keys;
}

const std::vector<std::string>& ModelConfigKeys() {
  static const std::vector<std::string> keys = {"confidence_th",
                                                "detector_max_scale",
                                                "detector_min_scale",
                                                "async_queue_size",
                                                "input_size",
                                                "nms_threshold",
                                                "backend",
                                                "target",
                                                "accuracy_boost",
                                                "is_face_person_model",
                                                "scale_factor",
                                                "min_neighbors",
                                                "min_size",
                                                "max_size"};
  return keys;
}

const std::vector<std::string>& DrawingSwitches() {
  static const std::vector<std::string> keys = {
      "enable_drawings",      "show_fps",
      "show_text_fps",        "draw_objects",
      "draw_moment_of_day",   "draw_vehicle_type",
      "draw_attention_point", "show_confidence",
      "draw_people",          "draw_people_id",
      "monitor_performance",  "with_face_features"};
  return keys;
}

Value Integer(int64_t v) {
  Value value;
  value.set_integer_value(v);
  return value;
}

Value Real(double v) {
  Value value;
  value.set_double_value(v);
  return value;
}

Value Text(const std::string& v) {
  Value value;
  value.set_string_value(v);
  return value;
}

Value Size(int64_t width, int64_t height) {
  Value value;
  value.mutable_size_value()->set_width(width);
  value.mutable_size_value()->set_height(height);
  return value;
}

Value& Prop(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

Entity* SubMap(Entity* map, const std::string& key) {
  return Prop(map, key).mutable_entity_value();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

}  // namespace

std::string ValueText(const Value& value) {
  std::ostringstream text;
  switch (value.value_type_case()) {
    case Value::kBooleanValue:
      return value.boolean_value() ? "true" : "false";
    case Value::kIntegerValue:
      return std::to_string(value.integer_value());
    case Value::kDoubleValue:
      text << value.double_value();
      return text.str();
    case Value::kStringValue:
      return "\"" + value.string_value().substr(0, 60) + "\"";
    case Value::kBlobValue:
      return std::to_string(value.blob_value().size()) + " bytes";
    case Value::kSizeValue:
      return std::to_string(value.size_value().width()) + " x " +
             std::to_string(value.size_value().height());
    case Value::kArrayValue:
      return "list of " + std::to_string(value.array_value().values_size());
    case Value::kEntityValue:
      return "map of " +
             std::to_string(value.entity_value().properties_size()) + " keys";
    default:
      return "(unset)";
  }
}

ConfigMutator::ConfigMutator(uint32_t seed, const std::string& work_dir,
                             const std::string& network_text)
    : rng_(seed), work_dir_(work_dir) {
  std::string garbage(4096, '\0');
  for (char& c : garbage) c = static_cast<char>(rng_());
  WriteFile(work_dir_ + "/garbage.bin", garbage);
  WriteFile(work_dir_ + "/empty.bin", "");
  // A network text whose numbers do not fit an int.
  WriteFile(work_dir_ + "/huge.cfg",
            "[net]\nwidth=99999999999999999999\nheight=320\nchannels=3\n"
            "[convolutional]\nfilters=99999999999999999999\nsize=3\n");
  WriteFile(
      work_dir_ + "/negative.cfg",
      "[net]\nwidth=-32\nheight=-32\nchannels=-3\n[region]\nclasses=-1\n");
  files_ = {work_dir_ + "/garbage.bin",
            work_dir_ + "/empty.bin",
            work_dir_ + "/huge.cfg",
            work_dir_ + "/negative.cfg",
            work_dir_ + "/missing.bin",
            work_dir_,
            "/dev/null",
            ""};
  const std::vector<std::pair<std::string, std::string>> breaks = {
      {"stride=", "stride=0"},       {"layers=-2", "layers=-99999"},
      {"layers=-2", "layers=700"},   {"mask=", "mask=9,"},
      {"filters=", "filters=99999"}, {"size=", "size=0"}};
  for (size_t i = 0; i < breaks.size() && !network_text.empty(); ++i) {
    std::string text = network_text;
    const size_t at = text.find(breaks[i].first);
    if (at == std::string::npos) continue;
    text.replace(at, breaks[i].first.size(), breaks[i].second);
    const std::string path =
        work_dir_ + "/broken-" + std::to_string(i) + ".cfg";
    WriteFile(path, text);
    files_.push_back(path);
  }
}

DriverConfig ConfigMutator::Mutate(const DriverConfig& base,
                                   std::string* description) {
  DriverConfig config = base;
  description->clear();
  const int count = 1 + Pick(3);
  for (int i = 0; i < count; ++i) MutateOnce(&config, description);
  return config;
}

void ConfigMutator::MutateOnce(DriverConfig* config, std::string* description) {
  auto* eye = config->mutable_kestu_eye_config();
  if (!description->empty()) *description += "; ";
  const int where = Pick(100);
  if (where < 5) {
    AllDrawingSwitches(eye->mutable_config(), description);
    return;
  }
  Entity* map = eye->mutable_config();
  std::string key;
  if (where < 70 || eye->models_size() == 0) {
    key = PickOf(ConfigKeys());
    *description += "config \"" + key + "\"";
  } else {
    const int model = Pick(eye->models_size());
    const bool content = where < 85;
    map = SubMap(eye->mutable_models(model), content ? "content" : "config");
    key = PickOf(content ? ContentKeys() : ModelConfigKeys());
    *description += "model #" + std::to_string(model + 1) +
                    (content ? " content \"" : " config \"") + key + "\"";
  }
  if (Pick(10) == 0) {
    map->mutable_properties()->erase(key);
    *description += " removed";
    return;
  }
  const Value value = ValueFor(key);
  *description += " = " + ValueText(value);
  Prop(map, key) = value;
}

void ConfigMutator::AllDrawingSwitches(Entity* map, std::string* description) {
  *description += "every drawing switch on";
  for (const std::string& key : DrawingSwitches()) {
    Prop(map, key).set_boolean_value(true);
  }
  Prop(map, "use_night_solution").set_boolean_value(true);
  Entity* point = SubMap(map, "attention_point");
  for (const char* k : {"x", "y"}) Prop(point, k) = Integer(100);
  for (const char* k : {"distance_check_direction", "distance_force_looking"})
    Prop(point, k) = Integer(-1);
}

Value ConfigMutator::NumberValue() {
  const double inf = std::numeric_limits<double>::infinity();
  static const std::vector<int64_t> integers = {
      -1,
      0,
      1,
      2147483647,
      2147483648LL,
      -2147483648LL,
      std::numeric_limits<int64_t>::max(),
      std::numeric_limits<int64_t>::min()};
  const std::vector<double> reals = {-1.0,  0.0,          1e300, -1e300, 1e-300,
                                     0.001, std::nan(""), inf,   -inf};
  return Pick(2) == 0 ? Integer(PickOf(integers)) : Real(PickOf(reals));
}

Value ConfigMutator::WrongKind() {
  Value value;
  switch (Pick(6)) {
    case 0:
      value.set_string_value("garbage");
      break;
    case 1:
      value.set_string_value("");
      break;
    case 2:
      value.set_boolean_value(Pick(2) == 0);
      break;
    case 3:
      value.mutable_entity_value();
      break;
    case 4:
      value.mutable_array_value();
      break;
    default:
      value.set_blob_value(std::string(64, '\x7f'));
      break;
  }
  return value;
}

Value ConfigMutator::FileValue() {
  if (Pick(5) == 0) {
    Value value;
    value.set_blob_value(
        std::string(1 + Pick(2048), static_cast<char>(rng_())));
    return value;
  }
  return Text(PickOf(files_));
}

Value ConfigMutator::SizeValue() {
  static const std::vector<std::pair<int64_t, int64_t>> sizes = {
      {0, 0},
      {-1, -1},
      {1, 1},
      {16384, 16384},
      {2147483647, 2147483647},
      {4096, 1},
      {2147483648LL, 1},
      {1, 100000}};
  const auto& s = PickOf(sizes);
  return Size(s.first, s.second);
}

Value ConfigMutator::PointValue(bool off_frame) {
  static const std::vector<int64_t> wild = {
      -1, 0, 2147483647, -2147483648LL, 100000, 2147483648LL};
  Value value;
  Entity* point = value.mutable_entity_value();
  Prop(point, "x") = Integer(off_frame ? PickOf(wild) : Pick(640));
  Prop(point, "y") = Integer(off_frame ? PickOf(wild) : Pick(480));
  return value;
}

Value ConfigMutator::ZonesValue() {
  Value value;
  const int zones = Pick(4);
  for (int i = 0; i < zones; ++i) {
    Entity* zone =
        value.mutable_array_value()->add_values()->mutable_entity_value();
    const bool wild = Pick(2) == 0;
    Prop(zone, "A") = PointValue(wild);
    // A degenerate line now and then: both ends at one point.
    Prop(zone, "B") = Pick(4) == 0 ? Prop(zone, "A") : PointValue(wild);
    if (Pick(8) != 0)
      Prop(zone, "height") = Pick(2) ? Integer(40) : NumberValue();
    if (Pick(2) == 0) Prop(zone, "meter_pixel_ratio") = NumberValue();
    if (Pick(3) == 0) Prop(zone, "real_height") = NumberValue();
    if (Pick(3) == 0) Prop(zone, "name") = Pick(2) ? Text("") : WrongKind();
  }
  return value;
}

Value ConfigMutator::AreasValue() {
  Value value;
  const int areas = 1 + Pick(4);
  for (int i = 0; i < areas; ++i) {
    Value* area = value.mutable_array_value()->add_values();
    const int kind = Pick(6);
    if (kind == 0) {
      *area = WrongKind();
      continue;
    }
    area->mutable_array_value();
    // Empty, one or two points, a few, off-frame, or far more than any
    // configuration may hold.
    const int points = kind == 1   ? 0
                       : kind == 2 ? 1 + Pick(2)
                       : kind == 5 ? 12000 + Pick(1000)
                                   : 3 + Pick(8);
    const bool wild = kind == 4;
    for (int p = 0; p < points; ++p) {
      *area->mutable_array_value()->add_values() = PointValue(wild);
    }
  }
  return value;
}

Value ConfigMutator::RectangleValue() {
  Value value;
  Entity* rect = value.mutable_entity_value();
  static const std::vector<int64_t> wild = {
      -1, 0, 1, 2147483647, -2147483648LL, 100000};
  const bool sane = Pick(3) == 0;
  Prop(rect, "x") = Integer(sane ? Pick(640) : PickOf(wild));
  Prop(rect, "y") = Integer(sane ? Pick(480) : PickOf(wild));
  Prop(rect, "width") = Integer(sane ? 1 + Pick(640) : PickOf(wild));
  Prop(rect, "height") = Integer(sane ? 1 + Pick(480) : PickOf(wild));
  if (Pick(6) == 0) rect->mutable_properties()->erase("height");
  return value;
}

Value ConfigMutator::RoisValue() {
  Value value;
  const int rois = Pick(4);
  for (int i = 0; i < rois; ++i) {
    Value roi = RectangleValue();
    if (Pick(3) == 0) {
      Entity* model = SubMap(roi.mutable_entity_value(), "model");
      Prop(model, "type") = Text(Pick(2) ? "YOLO" : "SSD");
      Prop(model, "version") = Text(Pick(2) ? "9" : "");
      if (Pick(2) == 0) Prop(model, "input_size") = SizeValue();
    }
    *value.mutable_array_value()->add_values() = roi;
  }
  return value;
}

Value ConfigMutator::RecordingValue() {
  Value value;
  Entity* options = value.mutable_entity_value();
  static const std::vector<std::string> codecs = {"MJPG", "mp4v", "",
                                                  "XXXXXXXX", "H264"};
  Prop(options, "filename") =
      Text(work_dir_ + "/recording-" + std::to_string(Pick(4)));
  if (Pick(2)) Prop(options, "duration") = Pick(2) ? Integer(1) : NumberValue();
  if (Pick(2)) Prop(options, "fps") = Pick(2) ? Integer(10) : NumberValue();
  if (Pick(2)) Prop(options, "codec") = Text(PickOf(codecs));
  if (Pick(3) == 0)
    Prop(options, "extension") = Pick(2) ? Text("") : Text("avi");
  if (Pick(3) == 0) Prop(options, "samples") = NumberValue();
  if (Pick(3) == 0) Prop(options, "period") = NumberValue();
  for (const char* flag : {"allow_processing", "allow_drawings"}) {
    Prop(options, flag).set_boolean_value(Pick(2) == 0);
  }
  return value;
}

Value ConfigMutator::ValueFor(const std::string& key) {
  // Most of the time a value fitting the key; otherwise any.
  if (Pick(4) == 0) {
    switch (Pick(3)) {
      case 0:
        return NumberValue();
      case 1:
        return WrongKind();
      default:
        return SizeValue();
    }
  }
  if (key == "zones") return ZonesValue();
  if (key == "areas") return AreasValue();
  if (key == "rois") return RoisValue();
  if (key == "attention_rois") {
    Value value;
    for (int i = Pick(3); i > 0; --i)
      *value.mutable_array_value()->add_values() = RectangleValue();
    return value;
  }
  if (key == "day_night_area") return RectangleValue();
  if (key == "attention_point") {
    Value value = PointValue(Pick(2) == 0);
    Entity* point = value.mutable_entity_value();
    Prop(point, "distance_check_direction") =
        Pick(2) ? Integer(-1) : NumberValue();
    Prop(point, "distance_force_looking") =
        Pick(2) ? Integer(-1) : NumberValue();
    return value;
  }
  if (key == "recording_options") return RecordingValue();
  if (key == "resolution" || key == "input_size" ||
      key == "histogram_size_image" || key == "min_size" || key == "max_size") {
    return SizeValue();
  }
  if (key == "prototxt_file" || key == "caffemodel_file" || key == "prototxt" ||
      key == "caffemodel" || key == "cascade") {
    return FileValue();
  }
  if (key == "labels" || key == "indexes_to_filter" ||
      key == "input_mean_scale") {
    Value value;
    const int n = Pick(3) == 0 ? 0 : Pick(5);
    for (int i = 0; i < n; ++i) {
      *value.mutable_array_value()->add_values() =
          Pick(2) ? Text(Pick(2) ? "person" : "") : NumberValue();
    }
    return value;
  }
  if (key == "speed_unit") return Pick(2) ? Text("km/h") : NumberValue();
  if (Pick(3) == 0) {
    Value value;
    value.set_boolean_value(true);
    return value;
  }
  return NumberValue();
}

}  // namespace kestu_tools
