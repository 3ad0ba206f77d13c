#include "vision/inference/model_parameters.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gmock/gmock.h>
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "vision/inference/classifier_model.h"
#include "vision/inference/load_network.h"

namespace talvenrook_vision {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

Entity ParseEntity(const std::string& text) {
  Entity e;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &e)) << text;
  return e;
}

Entity* SubMap(Entity* model, const std::string& key) {
  return (*model->mutable_properties())[key].mutable_entity_value();
}

void SetBlob(Entity* map, const std::string& key, const std::string& bytes) {
  (*map->mutable_properties())[key].set_blob_value(bytes);
}

TEST(ReadModelParametersTest, ConfigOverridesContentAndPayloadIsContentOnly) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "engine" value { string_value: "CAFFE" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_size" value { size_value { width: 300 height: 200 } } }
      properties { key: "input_scale" value { integer_value: 2 } }
      properties { key: "input_mean_scale" value { array_value {
        values { integer_value: 104 } values { integer_value: 117 }
        values { integer_value: 123 } } } }
      properties { key: "input_channels" value { integer_value: 3 } }
      properties { key: "labels" value { array_value {
        values { string_value: "a" } values { integer_value: 5 } } } }
      properties { key: "prototxt_file" value { string_value: "n.prototxt" } }
      properties { key: "caffemodel_file" value { string_value: "w.caffemodel" } }
    } } }
    properties { key: "config" value { entity_value {
      properties { key: "input_scale" value { double_value: 0.5 } }
      properties { key: "input_mean_scalar" value { array_value {
        values { integer_value: 1 } } } }
      properties { key: "swap_input_channels" value { boolean_value: true } }
      properties { key: "labels" value { array_value {
        values { string_value: "ignored" } } } }
    } } })pb");
  const ModelParameters p = ReadModelParameters(model);
  EXPECT_EQ(p.engine, "Caffe");
  EXPECT_EQ(p.input_size, cv::Size(300, 200));
  EXPECT_DOUBLE_EQ(p.scale, 0.5);
  EXPECT_EQ(p.mean_scalar, cv::Scalar(1, 117, 123, 0));
  EXPECT_EQ(p.input_channels, 3);
  EXPECT_TRUE(p.swap_channels);
  EXPECT_THAT(p.labels, ElementsAre("a", ""));
  EXPECT_TRUE(p.from_files);
  EXPECT_EQ(p.network, "n.prototxt");
  EXPECT_EQ(p.weights, "w.caffemodel");
}

TEST(ReadModelParametersTest, DefaultsAndBytes) {
  Entity model = ParseEntity(R"pb(
    properties { key: "config" value { entity_value {} } }
    properties { key: "content" value { entity_value {
      properties { key: "input_channels" value { double_value: 3.0 } }
    } } })pb");
  SetBlob(SubMap(&model, "content"), "caffemodel", "weights-bytes");
  const ModelParameters p = ReadModelParameters(model);
  EXPECT_EQ(p.engine, "Caffe");
  EXPECT_EQ(p.input_channels, 0);  // a double is not an integer
  EXPECT_FALSE(p.from_files);
  EXPECT_EQ(p.weights, "weights-bytes");
  EXPECT_TRUE(p.network.empty());
}

TEST(ReadModelParametersTest, MissingContentIsAMissingProperty) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "config" value { entity_value {} } })pb");
  EXPECT_THROW(ReadModelParameters(model), MissingPropertyError);
}

constexpr char kChannelMeanModel[] = R"pb(
  properties { key: "engine" value { string_value: "ONNX" } }
  properties { key: "content" value { entity_value {
    properties { key: "input_channels" value { integer_value: 3 } }
    properties { key: "input_size" value { size_value { width: 4 height: 4 } } }
    properties { key: "labels" value { array_value {
      values { string_value: "blue" } values { string_value: "green" }
      values { string_value: "red" } } } }
  } } }
  properties { key: "config" value { entity_value {
    properties { key: "backend" value { integer_value: 3 } }
    properties { key: "target" value { integer_value: 0 } }
  } } })pb";

TEST(CreateClassifierModelTest, LoadsFromBytesAndFromAFilePath) {
  Entity from_bytes = ParseEntity(kChannelMeanModel);
  SetBlob(SubMap(&from_bytes, "content"), "caffemodel",
          ReadFile(DataPath("channel_mean.onnx")));
  // ONNX reads only the weights; a network definition is ignored.
  SetBlob(SubMap(&from_bytes, "content"), "prototxt", "not read");
  Entity from_file = ParseEntity(kChannelMeanModel);
  (*SubMap(&from_file, "content")->mutable_properties())["caffemodel_file"]
      .set_string_value(DataPath("channel_mean.onnx"));
  for (const Entity* model : {&from_bytes, &from_file}) {
    absl::StatusOr<std::unique_ptr<ClassifierModel>> loaded =
        CreateClassifierModel(*model);
    ASSERT_TRUE(loaded.ok()) << loaded.status();
    std::unique_ptr<ClassifierModel> classifier = std::move(*loaded);
    ASSERT_NE(classifier, nullptr);
    EXPECT_EQ(classifier->predictor()->OutputSize(), 3);
    const cv::Mat frame(10, 10, CV_8UC3, cv::Scalar(7, 8, 9));
    EXPECT_THAT(classifier->predictor()->Predict(frame, ""),
                ElementsAre(7, 8, 9));
    EXPECT_EQ(classifier->Label(2), "red");
    EXPECT_EQ(classifier->Label(3), "");
    EXPECT_EQ(classifier->Label(-1), "");
  }
}

TEST(CreateClassifierModelTest, UnreadableNetworkGivesNoModel) {
  Entity model = ParseEntity(kChannelMeanModel);
  SetBlob(SubMap(&model, "content"), "caffemodel", "garbage");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(CreateClassifierModel(model).ok());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("ERROR: "));
}

TEST(LoadNetworkTest, BytesGoThroughTemporaryFilesThatAreRemoved) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("kestu-load-network-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", dir.c_str(), 1);

  Entity model = ParseEntity(kChannelMeanModel);
  SetBlob(SubMap(&model, "content"), "caffemodel",
          ReadFile(DataPath("channel_mean.onnx")));
  SetBlob(SubMap(&model, "content"), "prototxt", "unused");
  cv::Size size;
  bool swap = true;
  int channels = 0;
  double scale = 0.0;
  cv::dnn::Net net = LoadNetwork(model, &size, &swap, &channels, &scale);

  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_FALSE(net.empty());
  EXPECT_EQ(size, cv::Size(4, 4));
  EXPECT_EQ(channels, 3);
  EXPECT_TRUE(swap);  // absent keys leave the caller's fields alone
  EXPECT_EQ(scale, 0.0);
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

TEST(LoadNetworkTest, EmptyPathsAreReportedAndGiveAnEmptyNetwork) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "engine" value { string_value: "Tensorflow" } }
    properties { key: "content" value { entity_value {
      properties { key: "prototxt_file" value { string_value: "" } }
    } } })pb");
  cv::Size size;
  bool swap = false;
  int channels = 0;
  double scale = 1.0;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(LoadNetwork(model, &size, &swap, &channels, &scale).empty());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("Could not load the model.\n"));
}

}  // namespace
}  // namespace talvenrook_vision
