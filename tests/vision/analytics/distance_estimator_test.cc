#include "vision/analytics/distance_estimator.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity));
  return entity;
}

const char kWithCar[] = R"pb(
  properties { key: "f_over_s" value { integer_value: 900 } }
  properties { key: "object_sizes" value { array_value {
    values { entity_value {
      properties { key: "class" value { string_value: "car" } }
      properties { key: "size" value { double_value: 1.8 } } } }
    values { entity_value {
      properties { key: "class" value { string_value: "person" } }
      properties { key: "size" value { double_value: 0.5 } } } } } } })pb";

struct DistanceCase {
  const char* name;
  cv::Rect box;
  const char* class_name;
  cv::Rect reference;
  double expected;
};

class DistanceTest : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(DistanceTest, FromTheBoxWidth) {
  DistanceEstimator estimator(900.0);
  const DistanceCase& c = GetParam();
  EXPECT_NEAR(estimator.EstimateDistance(c.box, c.class_name, c.reference),
              c.expected, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, DistanceTest,
    ::testing::Values(
        DistanceCase{"Person90Wide", {10, 10, 90, 200}, "person", {}, 4.5},
        DistanceCase{"Face", {0, 0, 57, 70}, "face", {}, 3.0},
        DistanceCase{"UnknownClass", {0, 0, 90, 90}, "boat", {}, -1.0},
        DistanceCase{"ZeroWidth", {0, 0, 0, 90}, "person", {}, -1.0},
        // Centres 1200 px apart: sqrt(900^2 + 1200^2) = 1500.
        DistanceCase{
            "OffCentre", {1200, 0, 90, 90}, "person", {0, 0, 90, 90}, 7.5}),
    [](const ::testing::TestParamInfo<DistanceCase>& info) {
      return info.param.name;
    });

TEST(DistanceEstimatorTest, ObjectSizesAddAndReplaceEntries) {
  const auto estimator = DistanceEstimator::FromConfig(Parse(kWithCar));
  ASSERT_NE(estimator, nullptr);
  EXPECT_DOUBLE_EQ(estimator->f_over_s(), 900.0);
  EXPECT_DOUBLE_EQ(estimator->sizes().at("car"), 1.8);
  EXPECT_DOUBLE_EQ(estimator->sizes().at("person"), 0.5);
  EXPECT_DOUBLE_EQ(estimator->sizes().at("face"), 0.19);
}

TEST(DistanceEstimatorTest, MissingRequiredKeysAreConfigurationErrors) {
  EXPECT_THROW(DistanceEstimator::FromConfig(Parse("")), MissingPropertyError);
  EXPECT_THROW(DistanceEstimator::FromConfig(Parse(R"pb(
      properties { key: "f_over_s" value { double_value: 900 } }
      properties { key: "object_sizes" value { array_value { values {
        entity_value { properties { key: "class" value { string_value: "x" } } }
      } } } })pb")),
               MissingPropertyError);
}

}  // namespace
}  // namespace talvenrook_vision
