#include "vision/detectors/ssd_detector_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "detector_test_util.h"
#include "vision/detectors/haar_detector_adapter.h"
#include "vision/detectors/yolo_detector_adapter.h"

namespace talvenrook_vision {
namespace {

using ::testing::Each;
using ::testing::HasSubstr;
using testing_util::CascadeModel;
using testing_util::FaceSSDModel;
using testing_util::ParseEntity;
using testing_util::ReadImage;
using testing_util::YoloPersonModel;

// Located by eye in the frames of tests/data.
const cv::Rect kFace(285, 70, 80, 95);
const cv::Rect kPerson(362, 0, 160, 385);

double Overlap(const cv::Rect& a, const cv::Rect& b) {
  return static_cast<double>((a & b).area()) / (a | b).area();
}

cv::Mat Shifted(const cv::Mat& frame, int dx, int dy) {
  const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
  cv::Mat out;
  cv::warpAffine(frame, out, m, frame.size(), cv::INTER_LINEAR,
                 cv::BORDER_REPLICATE);
  return out;
}

KestuEyeConfig OpticalFlowConfig(bool on) {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(R"pb(
    properties { key: "frames_until_detection" value { integer_value: 5 } }
    properties { key: "max_quantity_features_per_roi" value { integer_value: 200 } })pb");
  (*config.mutable_config()->mutable_properties())["use_optical_flow_tracker"]
      .set_boolean_value(on);
  return config;
}

TEST(SSDDetectorAdapterTest, OpticalFlowRunsTheNetworkOnFramesZeroAndFive) {
  SSDDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(OpticalFlowConfig(true), FaceSSDModel()));
  const cv::Mat face = ReadImage("face_frame.jpg");
  const DetectionList first = adapter.Detect(face);
  ASSERT_EQ(first.boxes.size(), 1u);
  for (int k = 1; k <= 4; ++k) {
    // Frames 1 to 4 move the face; the network would find it there too, so
    // the moved box proves the flow, and DetectionRuns the skipping.
    const DetectionList moved = adapter.Detect(Shifted(face, 4 * k, 2 * k));
    ASSERT_EQ(moved.boxes.size(), 1u) << "frame " << k;
    EXPECT_NEAR(moved.boxes[0].x, first.boxes[0].x + 4 * k, 2) << k;
    EXPECT_NEAR(moved.boxes[0].y, first.boxes[0].y + 2 * k, 2) << k;
    EXPECT_EQ(moved.boxes[0].size(), first.boxes[0].size());
    EXPECT_EQ(moved.confidences, first.confidences);
  }
  EXPECT_EQ(adapter.DetectionRuns(), 1);
  // Frame 5 runs the network: a blank frame has no face.
  EXPECT_TRUE(
      adapter.Detect(cv::Mat::zeros(face.size(), CV_8UC3)).boxes.empty());
  EXPECT_EQ(adapter.DetectionRuns(), 2);
}

TEST(SSDDetectorAdapterTest, WithoutOpticalFlowEveryFrameRunsTheNetwork) {
  SSDDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(OpticalFlowConfig(false), FaceSSDModel()));
  const cv::Mat face = ReadImage("face_frame.jpg");
  EXPECT_EQ(adapter.Detect(face).boxes.size(), 1u);
  EXPECT_TRUE(
      adapter.Detect(cv::Mat::zeros(face.size(), CV_8UC3)).boxes.empty());
  EXPECT_EQ(adapter.DetectionRuns(), 2);
}

TEST(SSDDetectorAdapterTest, FixedInputSizeUsesTheModelInputSize) {
  KestuEyeConfig config;
  (*config.mutable_config()->mutable_properties())["use_fixed_input_size"]
      .set_boolean_value(true);
  SSDDetectorAdapter adapter;
  ASSERT_TRUE(
      adapter.Configure(config, FaceSSDModel("SSD", "1", R"pb(properties {
        key: "input_size" value { size_value { width: 320 height: 240 } } })pb")));
  EXPECT_EQ(adapter.NetworkSize(), cv::Size(320, 240));
  EXPECT_EQ(adapter.InputSize(), cv::Size(320, 240));
  const DetectionList out = adapter.Detect(ReadImage("face_frame.jpg"));
  EXPECT_EQ(adapter.detector()->PredictorInputSizes(),
            std::vector<cv::Size>{cv::Size(320, 240)});
  ASSERT_GE(out.boxes.size(), 1u);
  // Boxes come sorted by confidence; the second one, if any, is the print
  // on the shirt.
  EXPECT_GT(Overlap(out.boxes[0], kFace), 0.5) << out.boxes[0];
}

TEST(SSDDetectorAdapterTest, SetNetworkSizeRebuildsThePredictors) {
  SSDDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(KestuEyeConfig(), FaceSSDModel()));
  const cv::Mat face = ReadImage("face_frame.jpg");
  adapter.Detect(face);
  EXPECT_EQ(adapter.detector()->PredictorInputSizes(),
            std::vector<cv::Size>{cv::Size(346, 259)});  // 640x480, 300x300
  adapter.SetNetworkSize(160, 120);
  adapter.Detect(face);
  EXPECT_EQ(adapter.detector()->PredictorInputSizes(),
            std::vector<cv::Size>{cv::Size(160, 120)});  // 640x480, 160x120
}

TEST(YoloDetectorAdapterTest, FindsThePersonSynchronouslyAndAsynchronously) {
  YoloDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(KestuEyeConfig(), YoloPersonModel()));
  const cv::Mat frame = ReadImage("people_frame.jpg");
  const DetectionList out = adapter.Detect(frame);
  ASSERT_EQ(out.boxes.size(), 1u);
  EXPECT_GT(Overlap(out.boxes[0], kPerson), 0.5) << out.boxes[0];
  EXPECT_EQ(adapter.Label(out.labels[0]), "person");
  EXPECT_THAT(out.confidences, Each(::testing::Gt(0.3f)));

  ASSERT_TRUE(adapter.PushFrame(frame));
  const DetectionList async = adapter.PopDetections();
  EXPECT_EQ(async.boxes, out.boxes);
}

TEST(YoloDetectorAdapterTest, EmptyRoomHasNobody) {
  YoloDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(KestuEyeConfig(), YoloPersonModel()));
  EXPECT_TRUE(
      adapter.Detect(ReadImage("face_frame.jpg")(cv::Rect(480, 0, 160, 160)))
          .boxes.empty());
}

TEST(HaarDetectorAdapterTest, MissingVersionIsReportedAndTheCascadeNotRead) {
  Entity model = CascadeModel("lbpcascade_frontalface_improved.xml");
  model.mutable_properties()->erase("version");
  HaarDetectorAdapter adapter;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(adapter.Configure(KestuEyeConfig(), model));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR: Property version was not found\n");
  EXPECT_TRUE(adapter.Detect(ReadImage("face_frame.jpg")).boxes.empty());
}

TEST(HaarDetectorAdapterTest, BrokenCascadeIsADefinitionError) {
  Entity model = CascadeModel("lbpcascade_frontalface_improved.xml");
  testing_util::SetBlob(testing_util::SubMap(&model, "content"), "cascade",
                        "<opencv_storage><cascade>nothing</cascade>"
                        "</opencv_storage>");
  HaarDetectorAdapter adapter;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(adapter.Configure(KestuEyeConfig(), model));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: Cascade definition error\n"));
}

TEST(HaarDetectorAdapterTest, FindsTheFaceAndQueuesPushedResults) {
  HaarDetectorAdapter adapter;
  ASSERT_TRUE(adapter.Configure(
      KestuEyeConfig(), CascadeModel("lbpcascade_frontalface_improved.xml")));
  const cv::Mat face = ReadImage("face_frame.jpg");
  const DetectionList out = adapter.Detect(face);
  ASSERT_GE(out.boxes.size(), 1u);
  const cv::Point centre =
      (out.boxes[0].tl() + out.boxes[0].br()) / 2;  // cascade boxes are tight
  EXPECT_TRUE(kFace.contains(centre)) << out.boxes[0];
  EXPECT_TRUE(out.confidences.empty());
  EXPECT_TRUE(out.labels.empty());
  EXPECT_EQ(adapter.Label(0), "");

  adapter.PushFrame(face);
  adapter.PushFrame(cv::Mat::zeros(face.size(), CV_8UC3));
  EXPECT_EQ(adapter.PopDetections().boxes, out.boxes);
  EXPECT_TRUE(adapter.PopDetections().boxes.empty());
}

TEST(HaarDetectorAdapterTest, CarCascadeFindsCarsOnTheMotorway) {
  HaarDetectorAdapter adapter;
  Entity model = CascadeModel("lbpcascade_cars_frontbackview.xml");
  *testing_util::SubMap(&model, "config") = ParseEntity(R"pb(
    properties { key: "min_size" value { integer_value: 20 } }
    properties { key: "max_size" value { integer_value: 120 } })pb");
  ASSERT_TRUE(adapter.Configure(KestuEyeConfig(), model));
  EXPECT_GE(adapter.Detect(ReadImage("road_frame.jpg")).boxes.size(), 1u);
}

}  // namespace
}  // namespace talvenrook_vision
