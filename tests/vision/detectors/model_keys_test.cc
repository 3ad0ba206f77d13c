// The keys of a model map read through their one table: which layer each
// key is read from, which wins, the problems of values out of bounds, and
// the YOLO adapter's threshold taken from the same table.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/vision/detectors/detector_test_util.h"
#include "vision/detectors/yolo_detector.h"
#include "vision/detectors/yolo_detector_adapter.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

using testing_util::ParseEntity;
using testing_util::YoloPersonModel;

TEST(ModelKeysTest, EachKeyFromItsLayersConfigWinning) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "type" value { string_value: "SSD" } }
    properties { key: "version" value { string_value: "2" } }
    properties { key: "engine" value { string_value: "TENSORFLOW" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_size" value { size_value { width: 100 height: 50 } } }
      properties { key: "input_scale" value { double_value: 0.5 } }
      properties { key: "input_mean_scale" value { array_value {
        values { integer_value: 1 } values { integer_value: 2 } } } }
      properties { key: "input_mean_scalar" value { array_value {
        values { integer_value: 7 } } } }
      properties { key: "labels" value { array_value {
        values { string_value: "bg" } values { string_value: "face" } } } }
      properties { key: "caffemodel_file" value { string_value: "w.pb" } }
      properties { key: "confidence_th" value { double_value: 0.9 } } } } }
    properties { key: "config" value { entity_value {
      properties { key: "input_size" value { size_value { width: 300 height: 200 } } }
      properties { key: "labels" value { array_value {
        values { string_value: "ignored" } } } }
      properties { key: "confidence_th" value { double_value: 0.7 } }
      properties { key: "nms_threshold" value { integer_value: 1 } }
      properties { key: "backend" value { integer_value: 3 } } } } })pb");
  ModelKeys keys;
  EXPECT_TRUE(ReadModelKeys(model, &keys).empty());
  EXPECT_EQ(keys.type, "SSD");
  EXPECT_EQ(keys.version, "2");
  EXPECT_EQ(keys.engine, "TENSORFLOW");            // as given
  EXPECT_EQ(keys.input_size, cv::Size(300, 200));  // config wins
  EXPECT_EQ(keys.input_scale, 0.5);                // content when alone
  // input_mean_scalar after input_mean_scale: its one value replaces the
  // first component only.
  EXPECT_EQ(keys.input_mean, cv::Scalar(7, 2, 0, 0));
  EXPECT_EQ(keys.labels, (std::vector<std::string>{"bg", "face"}));
  EXPECT_EQ(keys.caffemodel_file, "w.pb");
  EXPECT_EQ(keys.confidence_th, 0.7);  // config only
  EXPECT_EQ(keys.nms_threshold, 1.0f);
  EXPECT_EQ(keys.backend, 3);
}

struct BoundsCase {
  const char* name;
  std::string config;  // the model's config map
  std::string message;
};

class ModelKeyBoundsTest : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(ModelKeyBoundsTest, OutOfBoundsKeepsTheDefaultWithAWarning) {
  Entity model;
  *(*model.mutable_properties())["config"].mutable_entity_value() =
      ParseEntity(GetParam().config);
  ModelKeys keys;
  const std::vector<KeyProblem> problems = ReadModelKeys(model, &keys);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].severity, KeySeverity::kWarning);
  EXPECT_EQ(problems[0].message, GetParam().message);
  EXPECT_EQ(keys.async_queue_size, 2);
  EXPECT_EQ(keys.accuracy_boost, 1.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ModelKeyBoundsTest,
    ::testing::Values(
        BoundsCase{
            "QueueTooLong",
            R"pb(properties { key: "async_queue_size" value { integer_value: 1000 } })pb",
            "async_queue_size must lie in [0, 64], got 1000; using 2"},
        BoundsCase{
            "NegativeQueue",
            R"pb(properties { key: "async_queue_size" value { integer_value: -1 } })pb",
            "async_queue_size must lie in [0, 64], got -1; using 2"},
        BoundsCase{
            "NoBoost",
            R"pb(properties { key: "accuracy_boost" value { double_value: 0 } })pb",
            "accuracy_boost must lie in (0, 4], got 0; using 1"},
        BoundsCase{
            "BoostTooLarge",
            R"pb(properties { key: "accuracy_boost" value { double_value: 4.5 } })pb",
            "accuracy_boost must lie in (0, 4], got 4.5; using 1"}),
    [](const ::testing::TestParamInfo<BoundsCase>& info) {
      return std::string(info.param.name);
    });

TEST(ModelKeysTest, RequiredKeysOfTheModelMap) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "engine" value { string_value: "CAFFE" } })pb");
  EXPECT_EQ(RequiredModelKey(model, "engine"), "CAFFE");
  EXPECT_THROW(RequiredModelKey(model, "type"), MissingPropertyError);
}

// The YOLO adapter's suppression threshold: the table's default without a
// value, the model's value with one.
TEST(ModelKeysTest, YoloSuppressionThresholdFromTheModel) {
  YoloDetectorAdapter plain;
  ASSERT_TRUE(plain.Configure(KestuEyeConfig(), YoloPersonModel()));
  EXPECT_EQ(static_cast<YoloDetector*>(plain.detector())->nms_threshold(),
            YoloDetector::kDefaultNmsThreshold);
  Entity model = YoloPersonModel();
  (*testing_util::SubMap(&model, "config")
        ->mutable_properties())["nms_threshold"]
      .set_double_value(0.25);
  YoloDetectorAdapter tuned;
  ASSERT_TRUE(tuned.Configure(KestuEyeConfig(), model));
  EXPECT_EQ(static_cast<YoloDetector*>(tuned.detector())->nms_threshold(),
            0.25f);
}

}  // namespace
}  // namespace talvenrook_vision
