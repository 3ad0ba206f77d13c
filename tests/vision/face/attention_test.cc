// Person attention: ROI, point and optical-flow modules, their selection
// from the configuration and their attention time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "face_test_util.h"
#include "vision/face/attention/flow_attention.h"
#include "vision/face/attention/person_attention.h"

namespace talvenrook_vision {
namespace {

using face_testing::ParseEntity;
using ::testing::HasSubstr;

TEST(PersonAttentionConfigTest, ChoosesTheModuleFromTheSettings) {
  const char* roi = R"pb(
    properties {
      key: "attention_rois"
      value {
        array_value {
          values {
            entity_value {
              properties {
                key: "x"
                value { integer_value: 0 }
              }
              properties {
                key: "y"
                value { integer_value: 0 }
              }
              properties {
                key: "width"
                value { integer_value: 100 }
              }
              properties {
                key: "height"
                value { integer_value: 80 }
              } %s
            }
          }
          values {
            entity_value {
              properties {
                key: "x"
                value { integer_value: 5 }
              }
            }
          }
        }
      }
    }
    properties {
      key: "module_threshold"
      value { double_value: 2.5 }
    })pb";
  char text[2048];
  std::snprintf(text, sizeof(text), roi, "");
  ::testing::internal::CaptureStderr();
  AttentionSettings plain = ReadAttentionSettings(ParseEntity(text));
  // The second ROI lacks its other keys and is left out.
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: Property y was not found"));
  ASSERT_EQ(plain.rois.size(), 1u);
  EXPECT_EQ(plain.rois[0].rect, cv::Rect(0, 0, 100, 80));
  EXPECT_FALSE(plain.rois[0].has_flow);
  EXPECT_EQ(plain.rois[0].module_threshold, 2.5);
  EXPECT_EQ(plain.rois[0].feature_points, 500);
  EXPECT_NE(dynamic_cast<RoiAttention*>(CreatePersonAttention(plain).get()),
            nullptr);

  std::snprintf(text, sizeof(text), roi, R"pb(
    properties {
      key: "angle_flow"
      value { integer_value: 270 }
    }
    properties {
      key: "angle_threshold"
      value { integer_value: 30 }
    }
    properties {
      key: "module_threshold"
      value { double_value: 4 }
    })pb");
  ::testing::internal::CaptureStderr();
  AttentionSettings flow = ReadAttentionSettings(ParseEntity(text));
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(flow.rois[0].has_flow);
  EXPECT_EQ(flow.rois[0].angle_flow, 270);
  EXPECT_EQ(flow.rois[0].module_threshold, 4.0);
  EXPECT_NE(dynamic_cast<FlowAttention*>(CreatePersonAttention(flow).get()),
            nullptr);

  flow.has_point = true;
  EXPECT_NE(dynamic_cast<PointAttention*>(CreatePersonAttention(flow).get()),
            nullptr);
  AttentionSettings point = ReadAttentionSettings(ParseEntity(R"pb(
    properties {
      key: "attention_point"
      value {
        entity_value {
          properties {
            key: "x"
            value { integer_value: 7 }
          }
          properties {
            key: "distance_force_looking"
            value { integer_value: 30 }
          }
        }
      }
    })pb"));
  EXPECT_TRUE(point.has_point);
  EXPECT_EQ(point.point.point, cv::Point(7, 0));
  EXPECT_EQ(point.point.check_distance, -1);
  EXPECT_EQ(point.point.force_looking_distance, 30);
  EXPECT_EQ(point.point.samples, 2);
}

TEST(RoiAttentionTest, InsideAnRoiCountsAttentionTime) {
  ManualTrackingClock clock(0, 1000.0);
  RoiAttention attention({cv::Rect(0, 0, 100, 100), cv::Rect(200, 0, 50, 50)},
                         &clock);
  EXPECT_TRUE(attention.Update(1, cv::Rect(10, 10, 90, 90)));
  clock.SetTicks(400);
  EXPECT_TRUE(attention.Update(1, cv::Rect(200, 0, 50, 50)));
  clock.SetTicks(1000);
  EXPECT_FALSE(attention.Update(1, cv::Rect(60, 60, 50, 50)));  // half out
  EXPECT_DOUBLE_EQ(attention.AttentionTime(1), 0.4 + 0.3);
  attention.Forget(1);
  EXPECT_FALSE(attention.Has(1));
}

// The point at the origin, check radius 100, looking radius 30, two
// samples. Boxes of 10 x 10 centred at (d, 0).
TEST(PointAttentionTest, ApproachingInsideTheCheckRadiusOrCloseLooks) {
  AttentionPoint point;
  point.check_distance = 100;
  point.force_looking_distance = 30;
  point.samples = 2;
  ManualTrackingClock clock(0, 1000.0);
  PointAttention attention(point, &clock);
  const struct {
    double distance;
    double mean;    // running mean after the update
    bool decision;  // this update's decision
    bool reported;  // what Update returns: the previous decision
  } steps[] = {{80, 80, true, true},   // first: inside the check radius
               {60, 70, true, true},   // approaching
               {90, 80, false, true},  // receding
               {20, 50, true, false},  // approaching again
               {20, 35, true, true},
               {40, 37.5, false, true},  // receding outside 30
               {10, 23.75, true, false},
               {28, 25.875, true, true}};  // receding inside 30
  double expected_time = 0.0;
  bool previous = false;
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    clock.SetTicks(static_cast<int64_t>(i) * 100);
    const auto& s = steps[i];
    const int x = static_cast<int>(s.distance) - 5;
    EXPECT_EQ(attention.Update(4, cv::Rect(x, -5, 10, 10)), s.reported) << i;
    if (i > 0)
      expected_time +=
          0.1 * ((previous ? 0.5 : 0.0) + (s.decision ? 0.5 : 0.0));
    previous = s.decision;
    EXPECT_NEAR(attention.AttentionTime(4), expected_time, 1e-9) << i;
  }
  // Far away at the first update: not looking.
  EXPECT_FALSE(attention.Update(5, cv::Rect(145, -5, 10, 10)));
}

// A random texture seen through a window that moves, so that the content
// moves by (dx, dy) per frame.
class FlowAttentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    texture_.create(480, 640, CV_8UC1);
    cv::RNG rng(7);
    rng.fill(texture_, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(texture_, texture_, cv::Size(5, 5), 1.5);
  }
  cv::Mat Frame(int k, int dx, int dy) const {
    return texture_(cv::Rect(160 - dx * k, 120 - dy * k, 320, 240)).clone();
  }
  // Runs frames 1..3 and returns the decisions for `box` on frames 2 and 3.
  std::vector<bool> Run(FlowAttention* attention, int dx, int dy,
                        const cv::Rect& box) {
    std::vector<bool> decisions;
    for (int k = 1; k <= 3; ++k) {
      clock_.SetTicks(k * 100);
      attention->BeginFrame(Frame(k, dx, dy), k);
      const bool d = attention->Update(1, box);
      if (k > 1) decisions.push_back(d);
    }
    return decisions;
  }
  static AttentionRoi Roi(int flow, int threshold, double module = -1.0) {
    AttentionRoi roi;
    roi.rect = cv::Rect(0, 0, 320, 240);
    roi.has_flow = true;
    roi.angle_flow = flow;
    roi.angle_threshold = threshold;
    roi.module_threshold = module;
    return roi;
  }

  cv::Mat texture_;
  ManualTrackingClock clock_{0, 1000.0};
  const cv::Rect person_{100, 60, 120, 120};
};

TEST_F(FlowAttentionTest, MovementTowardsTheFlowDirectionLooks) {
  const struct {
    const char* name;
    AttentionRoi roi;
    int dx, dy;
    bool looking;
  } cases[] = {
      {"rightwards, flow 0", Roi(0, 45), 3, 0, true},
      {"rightwards, flow 180", Roi(180, 45), 3, 0, false},
      {"slower than the module threshold", Roi(0, 45, 3.0), 3, 0, false},
      {"downwards, flow 90", Roi(90, 30), 0, 4, true},
      {"downwards, flow 270", Roi(270, 30), 0, 4, false},
      // Direction -162 degrees: within 45 of 180 only across the +-180 seam.
      {"left and up, flow 180", Roi(180, 45), -3, -1, true},
  };
  for (const auto& c : cases) {
    FlowAttention attention({c.roi}, &clock_);
    const std::vector<bool> d = Run(&attention, c.dx, c.dy, person_);
    EXPECT_EQ(d, std::vector<bool>(2, c.looking)) << c.name;
    EXPECT_GT(attention.MovedFeatures(0), 20u) << c.name;
  }
}

TEST_F(FlowAttentionTest, BoxWithoutFeaturesAndRoisInOrder) {
  FlowAttention outside({Roi(0, 45)}, &clock_);
  EXPECT_EQ(Run(&outside, 3, 0, cv::Rect(1000, 1000, 50, 50)),
            std::vector<bool>(2, false));
  // The first ROI says no, the second yes: looking, with one time update
  // per frame.
  AttentionRoi left = Roi(180, 45);
  left.rect = cv::Rect(0, 0, 160, 240);
  FlowAttention two({left, Roi(0, 45)}, &clock_);
  EXPECT_EQ(Run(&two, 3, 0, person_), std::vector<bool>(2, true));
  EXPECT_NEAR(two.AttentionTime(1), 0.05 + 0.1, 1e-9);
}

TEST_F(FlowAttentionTest, UnusableFramesAndTinyRoisDecideNothing) {
  AttentionRoi tiny = Roi(0, 45);
  tiny.rect = cv::Rect(300, 200, 3, 3);
  AttentionRoi outside = Roi(0, 45);
  outside.rect = cv::Rect(1000, 1000, 50, 50);
  FlowAttention attention({tiny, outside, Roi(0, 45)}, &clock_);
  ::testing::internal::CaptureStderr();
  cv::Mat deep;
  Frame(1, 3, 0).convertTo(deep, CV_16U);
  attention.BeginFrame(deep, 1);  // optical flow needs 8-bit images
  attention.BeginFrame(cv::Mat(), 2);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("ERROR: "));
  EXPECT_FALSE(attention.Update(1, person_));
  EXPECT_EQ(Run(&attention, 3, 0, person_), std::vector<bool>(2, true));
}

}  // namespace
}  // namespace talvenrook_vision
