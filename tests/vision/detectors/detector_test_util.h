// Model maps over the real models in tests/data, for the detector tests.
#ifndef TESTS_VISION_DETECTORS_DETECTOR_TEST_UTIL_H_
#define TESTS_VISION_DETECTORS_DETECTOR_TEST_UTIL_H_

#include <fstream>
#include <iterator>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {
namespace testing_util {

inline std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

inline std::string ReadData(const std::string& name) {
  std::ifstream in(DataPath(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

inline cv::Mat ReadImage(const std::string& name) {
  cv::Mat image = cv::imread(DataPath(name), cv::IMREAD_COLOR);
  EXPECT_FALSE(image.empty()) << name;
  return image;
}

inline Entity ParseEntity(const std::string& text) {
  Entity e;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &e)) << text;
  return e;
}

inline Entity* SubMap(Entity* model, const std::string& key) {
  return (*model->mutable_properties())[key].mutable_entity_value();
}

inline void SetBlob(Entity* map, const std::string& key,
                    const std::string& bytes) {
  (*map->mutable_properties())[key].set_blob_value(bytes);
}

inline void SetString(Entity* map, const std::string& key,
                      const std::string& value) {
  (*map->mutable_properties())[key].set_string_value(value);
}

// The SSD face detector given as bytes; `extra_config` is appended to the
// model's "config" map (protobuf text).
inline Entity FaceSSDModel(const std::string& type = "SSD",
                           const std::string& version = "1",
                           const std::string& extra_config = "") {
  Entity model = ParseEntity(R"pb(
    properties { key: "engine" value { string_value: "Tensorflow" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_mean_scale" value { array_value {
        values { integer_value: 104 } values { integer_value: 177 }
        values { integer_value: 123 } } } }
      properties { key: "labels" value { array_value {
        values { string_value: "background" } values { string_value: "face" }
      } } }
    } } }
    properties { key: "config" value { entity_value {
      properties { key: "confidence_th" value { double_value: 0.7 } }
    } } })pb");
  SetString(&model, "type", type);
  SetString(&model, "version", version);
  SetBlob(SubMap(&model, "content"), "caffemodel",
          ReadData("opencv_face_detector_uint8.pb"));
  SetBlob(SubMap(&model, "content"), "prototxt",
          ReadData("opencv_face_detector.pbtxt"));
  if (!extra_config.empty()) {
    Entity extra = ParseEntity(extra_config);
    SubMap(&model, "config")->MergeFrom(extra);
  }
  return model;
}

// YOLO-Fastest (person) given as file paths.
inline Entity YoloPersonModel(const std::string& type = "YOLO",
                              const std::string& version = "1.1") {
  Entity model = ParseEntity(R"pb(
    properties { key: "engine" value { string_value: "Darknet" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_size" value { size_value { width: 320 height: 320 } } }
      properties { key: "input_scale" value { double_value: 0.00392156863 } }
      properties { key: "swap_input_channels" value { boolean_value: true } }
      properties { key: "labels" value { array_value {
        values { string_value: "person" } } } }
    } } }
    properties { key: "config" value { entity_value {
      properties { key: "confidence_th" value { double_value: 0.3 } }
    } } })pb");
  SetString(&model, "type", type);
  SetString(&model, "version", version);
  SetString(SubMap(&model, "content"), "prototxt_file",
            DataPath("yolo-fastest-1.1_body.cfg"));
  SetString(SubMap(&model, "content"), "caffemodel_file",
            DataPath("yolo-fastest-1.1_body.weights"));
  return model;
}

// A cascade model (HAAR type) over one of the cascade files.
inline Entity CascadeModel(const std::string& file,
                           const std::string& type = "HAAR") {
  Entity model = ParseEntity(R"pb(
    properties { key: "version" value { string_value: "1" } }
    properties { key: "engine" value { string_value: "OPENCV" } }
    properties { key: "content" value { entity_value {} } })pb");
  SetString(&model, "type", type);
  SetBlob(SubMap(&model, "content"), "cascade", ReadData(file));
  return model;
}

// The day/night classifier (DAY-NIGHT, engine CAFFE) over the brightness
// network of day_night.prototxt: "night" below half brightness.
inline Entity DayNightModel() {
  Entity model = ParseEntity(R"pb(
    properties { key: "type" value { string_value: "DAY-NIGHT" } }
    properties { key: "version" value { string_value: "1" } }
    properties { key: "engine" value { string_value: "CAFFE" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_scale" value { double_value: 0.00392156863 } }
      properties { key: "labels" value { array_value {
        values { string_value: "day" } values { string_value: "night" } } } }
    } } }
    properties { key: "config" value { entity_value {
      properties { key: "tracker_num_classes" value { integer_value: 2 } }
      properties { key: "tracker_num_recent" value { integer_value: 1 } }
    } } })pb");
  SetBlob(SubMap(&model, "content"), "prototxt",
          ReadData("day_night.prototxt"));
  return model;
}

}  // namespace testing_util
}  // namespace talvenrook_vision

#endif  // TESTS_VISION_DETECTORS_DETECTOR_TEST_UTIL_H_
