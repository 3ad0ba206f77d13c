// Face descriptors: normalisation over the channel-mean network, the
// descriptor detector's defaults and its model extension.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "vision/face/classify/face_descriptor_detector.h"
#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {
namespace {

using face_testing::CaffeDescriptorModel;
using face_testing::ChannelMeanModel;
using face_testing::ParseEntity;
using face_testing::Prop;
using face_testing::Solid;
using face_testing::SubMap;

// channel_mean.onnx with scale 1: a solid crop (b, g, r) gives (b, g, r).
std::unique_ptr<CNNDescriptorExtractor> ChannelMeanExtractor() {
  const Entity model = ChannelMeanModel("FACE_DESCRIPTOR", {}, 1.0);
  absl::StatusOr<std::unique_ptr<OpenCVPredict>> predictor =
      CreatePredictor(model);
  EXPECT_TRUE(predictor.ok()) << predictor.status();
  return std::make_unique<CNNDescriptorExtractor>(
      predictor.ok() ? std::move(*predictor) : nullptr);
}

TEST(CNNDescriptorExtractorTest, ScalesTheOutputToUnitLength) {
  auto extractor = ChannelMeanExtractor();
  std::vector<float> d;
  ASSERT_TRUE(extractor->Describe(Solid(3, 4, 0), &d));
  ASSERT_EQ(d.size(), 3u);
  EXPECT_NEAR(d[0], 0.6f, 1e-6);
  EXPECT_NEAR(d[1], 0.8f, 1e-6);
  EXPECT_EQ(d[2], 0.0f);
  cv::Mat row;
  ASSERT_TRUE(extractor->DescribeRow(Solid(0, 0, 0), &row));
  EXPECT_EQ(row.size(), cv::Size(3, 1));
  EXPECT_EQ(row.type(), CV_32F);
  EXPECT_EQ(cv::countNonZero(row), 0);  // no division by zero
  EXPECT_FALSE(extractor->DescribeRow(cv::Mat(), &row));
  EXPECT_TRUE(row.empty());
}

TEST(FaceDescriptorParametersTest, FixedDefaultsAndTheModelsOwnKeys) {
  const ModelParameters d = ReadDescriptorParameters(CaffeDescriptorModel());
  EXPECT_EQ(d.engine, "Caffe");
  EXPECT_EQ(d.input_size, cv::Size(32, 32));
  EXPECT_EQ(d.input_channels, 3);
  EXPECT_DOUBLE_EQ(d.scale, 1.0 / 255.0);
  EXPECT_EQ(d.mean_scalar, cv::Scalar(0, 0, 0, 0));
  EXPECT_TRUE(d.swap_channels);
  EXPECT_FALSE(d.from_files);
  EXPECT_FALSE(d.weights.empty());

  Entity model = ParseEntity(R"pb(
    properties {
      key: "engine"
      value { string_value: "TENSORFLOW" }
    }
    properties {
      key: "content"
      value {
        entity_value {
          properties {
            key: "caffemodel_file"
            value { string_value: "d.pb" }
          }
          properties {
            key: "input_size"
            value { size_value { width: 224 height: 224 } }
          }
          properties {
            key: "input_scale"
            value { double_value: 0.5 }
          }
          properties {
            key: "input_mean_scale"
            value {
              array_value {
                values { integer_value: 1 }
                values { integer_value: 2 }
              }
            }
          }
        }
      }
    }
    properties {
      key: "config"
      value {
        entity_value {
          properties {
            key: "input_scale"
            value { integer_value: 1 }
          }
          properties {
            key: "swap_input_channels"
            value { string_value: "no" }
          }
        }
      }
    })pb");
  const ModelParameters t = ReadDescriptorParameters(model);
  EXPECT_EQ(t.engine, "Tensorflow");
  EXPECT_EQ(t.input_size, cv::Size(224, 224));
  EXPECT_DOUBLE_EQ(t.scale, 1.0);  // "config" wins
  EXPECT_EQ(t.mean_scalar, cv::Scalar(1, 2, 0, 0));
  EXPECT_FALSE(t.swap_channels);  // wrong kind reads as false
  EXPECT_TRUE(t.from_files);
  EXPECT_EQ(t.weights, "d.pb");
}

TEST(FaceDescriptorDetectorTest, WritesAUnitDescriptor) {
  FaceDescriptorDetector detector;
  detector.Load(Entity(), CaffeDescriptorModel());
  ASSERT_NE(detector.extractor(), nullptr);
  const cv::Mat& frame = face_testing::ClipFrame(30);
  RectangularDetection detection;
  ASSERT_TRUE(detector.Write(&detection, frame(face_testing::kFaceBox30)));
  ASSERT_EQ(detection.facial_recognition_size(), 1);
  const FacialRecognition& r = detection.facial_recognition(0);
  EXPECT_EQ(r.tag(), ::talvenrook::vision::v1::FACE_DESCRIPTOR);
  ASSERT_EQ(r.face_descriptor_size(), 128);
  double norm = 0.0;
  for (float v : r.face_descriptor()) norm += v * v;
  EXPECT_NEAR(norm, 1.0, 1e-5);
  EXPECT_FALSE(detector.Write(&detection, cv::Mat()));
  EXPECT_EQ(detection.facial_recognition_size(), 1);
}

TEST(FaceDescriptorDetectorTest, UnloadableNetworkLeavesNoExtractor) {
  FaceDescriptorDetector detector;
  Entity model = CaffeDescriptorModel();
  Prop(SubMap(&model, "content"), "caffemodel").set_blob_value("not a model");
  ::testing::internal::CaptureStderr();
  detector.Load(Entity(), model);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr(
                  "ERROR: Could not load the face descriptor network"));
  EXPECT_EQ(detector.extractor(), nullptr);
  RectangularDetection detection;
  EXPECT_FALSE(detector.Write(&detection, Solid(1, 2, 3)));
}

}  // namespace
}  // namespace talvenrook_vision
