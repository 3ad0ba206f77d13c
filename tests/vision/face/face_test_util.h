// Model maps, clip frames and face boxes shared by the face tests.
//
// Face boxes were measured once with the committed SSD face detector
// (opencv_face_detector_uint8.pb, input 300x300, mean 104/177/123) on
// frames of tests/data/face_asl_again.mkv: the man's face and the face-like
// skull print on his T-shirt.
#ifndef TESTS_VISION_FACE_FACE_TEST_UTIL_H_
#define TESTS_VISION_FACE_FACE_TEST_UTIL_H_

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "vision/config/entity_config.h"

namespace talvenrook_vision {
namespace face_testing {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

// Frame 30: face 0.95, print 0.54. Frame 60: face 0.97.
const cv::Rect kFaceBox30(288, 69, 68, 91);
const cv::Rect kFaceBox60(281, 67, 70, 92);
const cv::Rect kPrintBox30(252, 190, 157, 161);
const cv::Rect kPrintBox60(245, 181, 152, 175);

inline std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// The shared assets folder, or "" when this machine has none.
inline std::string SharedModelPath(const std::string& relative) {
  // The assets folder beside the checkout, or the one KESTU_ASSETS_DIR
  // names.
  const char* assets = std::getenv("KESTU_ASSETS_DIR");
  const std::string path = (assets != nullptr ? std::string(assets)
                                              : std::string(KESTU_SOURCE_DIR) +
                                                    "/../shared/assets") +
                           "/models/" + relative;
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? path : std::string();
}

inline Entity ParseEntity(const std::string& text) {
  Entity e;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &e)) << text;
  return e;
}

inline Entity* SubMap(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key].mutable_entity_value();
}

inline Value& Prop(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

inline void SetLabels(Entity* content, const std::vector<std::string>& labels) {
  ArrayValue* array = Prop(content, "labels").mutable_array_value();
  for (const std::string& label : labels)
    array->add_values()->set_string_value(label);
}

// A model map over an ONNX file of tests/data with an 8x8 colour input.
inline Entity OnnxModel(const std::string& file, const std::string& type,
                        const std::vector<std::string>& labels = {},
                        double scale = 1.0 / 255.0,
                        const std::string& config_text = "") {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "engine"
      value { string_value: "ONNX" }
    }
    properties {
      key: "version"
      value { string_value: "1" }
    }
    properties {
      key: "content"
      value {
        entity_value {
          properties {
            key: "input_channels"
            value { integer_value: 3 }
          }
          properties {
            key: "input_size"
            value { size_value { width: 8 height: 8 } }
          }
        }
      }
    })pb");
  Prop(&model, "type").set_string_value(type);
  Entity* content = SubMap(&model, "content");
  Prop(content, "caffemodel_file").set_string_value(DataPath(file));
  Prop(content, "input_scale").set_double_value(scale);
  if (!labels.empty()) SetLabels(content, labels);
  *SubMap(&model, "config") = ParseEntity(config_text);
  return model;
}

// channel_mean.onnx: outputs (pixel - mean) * scale per channel (B, G, R).
inline Entity ChannelMeanModel(const std::string& type,
                               const std::vector<std::string>& labels,
                               double scale,
                               const std::vector<double>& mean = {}) {
  Entity model = OnnxModel("channel_mean.onnx", type, labels, scale);
  Prop(SubMap(&model, "content"), "input_size")
      .mutable_size_value()
      ->set_width(4);
  Prop(SubMap(&model, "content"), "input_size")
      .mutable_size_value()
      ->set_height(4);
  ArrayValue* means =
      Prop(SubMap(&model, "content"), "input_mean_scale").mutable_array_value();
  for (double m : mean) means->add_values()->set_double_value(m);
  return model;
}

inline Entity BinaryModel(const std::string& type,
                          const std::vector<std::string>& labels) {
  return OnnxModel("face_binary_classifier.onnx", type, labels);
}

// A TensorFlow face head (GENDER, AGE, AGE_GENDER, EMOTION) read from a file.
inline Entity TensorflowModel(const std::string& path, const std::string& type,
                              int side, int channels, double scale,
                              const std::vector<double>& mean, bool swap,
                              const std::vector<std::string>& labels = {}) {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "engine"
      value { string_value: "TENSORFLOW" }
    }
    properties {
      key: "version"
      value { string_value: "1.0.0" }
    }
    properties {
      key: "config"
      value { entity_value {} }
    })pb");
  Prop(&model, "type").set_string_value(type);
  Entity* content = SubMap(&model, "content");
  Prop(content, "caffemodel_file").set_string_value(path);
  Prop(content, "input_size").mutable_size_value()->set_width(side);
  Prop(content, "input_size").mutable_size_value()->set_height(side);
  Prop(content, "input_channels").set_integer_value(channels);
  Prop(content, "input_scale").set_double_value(scale);
  Prop(content, "swap_input_channels").set_boolean_value(swap);
  ArrayValue* means = Prop(content, "input_mean_scale").mutable_array_value();
  for (double m : mean) means->add_values()->set_double_value(m);
  if (!labels.empty()) SetLabels(content, labels);
  return model;
}

inline Entity EmotionModel() {
  return TensorflowModel(
      DataPath("emotion.pb"), "EMOTION", 64, 1, 2.0 / 255.0, {127.5}, false,
      {"angry", "disgust", "fear", "happy", "sad", "surprised", "neutral"});
}

inline Entity FaceHeadModel(const std::string& path, const std::string& type,
                            const std::vector<std::string>& labels = {}) {
  return TensorflowModel(path, type, 224, 3, 1.0, {0, 0, 0}, true, labels);
}

// The real landmark network, planar output.
inline Entity AlignModel(const std::string& version = "0.0.2") {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "type"
      value { string_value: "ALIGN" }
    }
    properties {
      key: "engine"
      value { string_value: "Caffe" }
    }
    properties {
      key: "config"
      value { entity_value {} }
    }
    properties {
      key: "content"
      value {
        entity_value {
          properties {
            key: "input_size"
            value { size_value { width: 48 height: 48 } }
          }
          properties {
            key: "input_channels"
            value { integer_value: 3 }
          }
          properties {
            key: "input_scale"
            value { double_value: 0.0078125 }
          }
          properties {
            key: "swap_input_channels"
            value { boolean_value: true }
          }
          properties {
            key: "input_mean_scale"
            value {
              array_value {
                values { double_value: 127.5 }
                values { double_value: 127.5 }
                values { double_value: 127.5 }
              }
            }
          }
        }
      }
    })pb");
  Prop(&model, "version").set_string_value(version);
  Entity* content = SubMap(&model, "content");
  Prop(content, "prototxt_file")
      .set_string_value(DataPath("align_onet.prototxt"));
  Prop(content, "caffemodel_file")
      .set_string_value(DataPath("align_onet.caffemodel"));
  return model;
}

// The Caffe thumbnail descriptor given as bytes, with no geometry: the
// descriptor detector's defaults apply.
inline Entity CaffeDescriptorModel() {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "type"
      value { string_value: "FACE_DESCRIPTOR" }
    }
    properties {
      key: "engine"
      value { string_value: "CAFFE" }
    }
    properties {
      key: "config"
      value { entity_value {} }
    })pb");
  Entity* content = SubMap(&model, "content");
  Prop(content, "prototxt")
      .set_blob_value(ReadFileBytes(DataPath("thumbdesc128.prototxt")));
  Prop(content, "caffemodel")
      .set_blob_value(ReadFileBytes(DataPath("thumbdesc128.caffemodel")));
  return model;
}

// The committed face SSD (TensorFlow, 300x300 budget, mean 104/177/123),
// read from files, keeping rows above `threshold`.
inline Entity SsdFaceModel(double threshold = 0.7,
                           const std::string& version = "0.0.1") {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "type"
      value { string_value: "SSD-DETECTOR" }
    }
    properties {
      key: "engine"
      value { string_value: "Tensorflow" }
    }
    properties {
      key: "content"
      value {
        entity_value {
          properties {
            key: "input_mean_scale"
            value {
              array_value {
                values { integer_value: 104 }
                values { integer_value: 177 }
                values { integer_value: 123 }
              }
            }
          }
        }
      }
    })pb");
  Prop(&model, "version").set_string_value(version);
  Entity* content = SubMap(&model, "content");
  Prop(content, "caffemodel_file")
      .set_string_value(DataPath("opencv_face_detector_uint8.pb"));
  Prop(content, "prototxt_file")
      .set_string_value(DataPath("opencv_face_detector.pbtxt"));
  Prop(SubMap(&model, "config"), "confidence_th").set_double_value(threshold);
  return model;
}

// An SSD contract network of tests/data (ONNX, any input size).
inline Entity ContractSsdModel(const std::string& file, const std::string& type,
                               const std::string& version,
                               const std::vector<std::string>& labels = {}) {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "engine"
      value { string_value: "ONNX" }
    }
    properties {
      key: "config"
      value { entity_value {} }
    })pb");
  Prop(&model, "type").set_string_value(type);
  Prop(&model, "version").set_string_value(version);
  Entity* content = SubMap(&model, "content");
  Prop(content, "caffemodel_file").set_string_value(DataPath(file));
  Prop(content, "input_channels").set_integer_value(3);
  if (!labels.empty()) SetLabels(content, labels);
  return model;
}

// The committed pico cascade, no threshold shift, no rotation.
inline Entity PicoModel() {
  Entity model = ParseEntity(R"pb(
    properties {
      key: "type"
      value { string_value: "PICOFACE" }
    }
    properties {
      key: "engine"
      value { string_value: "PICO" }
    }
    properties {
      key: "version"
      value { string_value: "1" }
    }
    properties {
      key: "config"
      value {
        entity_value {
          properties {
            key: "threshold_shift"
            value { double_value: 0 }
          }
          properties {
            key: "rotation"
            value { double_value: 0 }
          }
        }
      }
    })pb");
  Prop(SubMap(&model, "content"), "cascade")
      .set_blob_value(ReadFileBytes(DataPath("pico_facefinder")));
  return model;
}

// Frames of the committed face clip, decoded once.
inline const cv::Mat& ClipFrame(size_t index) {
  static const std::vector<cv::Mat>* const frames = [] {
    auto* out = new std::vector<cv::Mat>();
    cv::VideoCapture capture(DataPath("face_asl_again.mkv"));
    cv::Mat frame;
    while (capture.read(frame)) out->push_back(frame.clone());
    return out;
  }();
  static const cv::Mat empty;
  EXPECT_LT(index, frames->size());
  return index < frames->size() ? (*frames)[index] : empty;
}

// The box enlarged about its centre by `factor` and clipped to the frame.
inline cv::Rect Enlarged(const cv::Rect& box, double factor,
                         const cv::Size& frame) {
  const int w = static_cast<int>(box.width * factor);
  const int h = static_cast<int>(box.height * factor);
  return cv::Rect(box.x + (box.width - w) / 2, box.y + (box.height - h) / 2, w,
                  h) &
         cv::Rect(cv::Point(0, 0), frame);
}

inline cv::Mat Solid(double b, double g, double r, int side = 16) {
  return cv::Mat(side, side, CV_8UC3, cv::Scalar(b, g, r));
}

}  // namespace face_testing
}  // namespace talvenrook_vision

#endif  // TESTS_VISION_FACE_FACE_TEST_UTIL_H_
