#include "vision/inference/opencv_predict.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace talvenrook_vision {
namespace {

using ::testing::ElementsAre;
using ::testing::FloatNear;
using ::testing::HasSubstr;
using ::testing::Pointwise;

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// A Caffe network without weights: the global average of each channel.
constexpr char kCaffeMeanNet[] =
    "name: \"channel_mean\"\n"
    "input: \"data\"\n"
    "input_dim: 1\n"
    "input_dim: 3\n"
    "input_dim: 300\n"
    "input_dim: 400\n"
    "layer { name: \"pool\" type: \"Pooling\" bottom: \"data\" top: \"pool\"\n"
    "  pooling_param { pool: AVE global_pooling: true } }\n";

// A Caffe network whose last layer has two outputs.
constexpr char kCaffeSliceNet[] =
    "input: \"data\"\n"
    "input_dim: 1\ninput_dim: 4\ninput_dim: 4\ninput_dim: 4\n"
    "layer { name: \"slice\" type: \"Slice\" bottom: \"data\" top: \"a\"\n"
    "  top: \"b\" slice_param { axis: 1 } }\n";

std::string MeanPayload(int channels, int rows, int cols,
                        const std::vector<float>& values) {
  std::string bytes(12, '\0');
  const int32_t header[3] = {channels, rows, cols};
  std::memcpy(&bytes[0], header, 12);
  bytes.append(reinterpret_cast<const char*>(values.data()),
               values.size() * sizeof(float));
  return bytes;
}

bool LoadChannelMean(OpenCVPredict* p, int channels, cv::Scalar mean,
                     double scale, bool swap, int queue = 0) {
  return p
      ->LoadFromFiles("", DataPath("channel_mean.onnx"), "", cv::Size(4, 4),
                      channels, mean, scale, swap, "ONNX", queue)
      .ok();
}

struct DimensionsCase {
  const char* text;
  std::vector<int> dims;
};

class NetworkTextDimensionsTest
    : public ::testing::TestWithParam<DimensionsCase> {};

TEST_P(NetworkTextDimensionsTest, CollectsDeclaredDimensions) {
  EXPECT_EQ(OpenCVPredict::NetworkTextDimensions(GetParam().text),
            GetParam().dims);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NetworkTextDimensionsTest,
    ::testing::Values(
        // Legacy input declaration after a name line.
        DimensionsCase{kCaffeMeanNet, {1, 3, 300, 400}},
        // Input declaration on the first line, "dim:" lines, stops at four.
        DimensionsCase{"input: \"data\"\ninput_shape {\n  dim: 1\n  dim: 1\n"
                       "  dim: 64\n  dim: 48\n  dim: 7\n}\n",
                       {1, 1, 64, 48}},
        // Input layer: numbers followed by a space on "shape: " lines.
        DimensionsCase{"name: \"n\"\nlayer { name: \"data\" type: \"Input\"\n"
                       "  input_param { shape: { dim: 1 dim: 3 dim: 48 dim: "
                       "32 } } }\n",
                       {1, 3, 48, 32}},
        DimensionsCase{"layer { type: \"ReLU\" }\n", {}}));

TEST(OpenCVPredictTest, CaffeBytesWithoutGeometryTakeItFromTheNetworkText) {
  OpenCVPredict p;
  ASSERT_TRUE(p.LoadFromBytes(kCaffeMeanNet, "", "", cv::Size(0, 0), -1,
                              cv::Scalar(), 1.0, false, "Caffe", 0)
                  .ok());
  EXPECT_EQ(p.InputChannels(), 3);
  EXPECT_EQ(p.InputSize(), cv::Size(400, 300));
  EXPECT_EQ(p.OutputSize(), 3);
  const cv::Mat frame(120, 160, CV_8UC3, cv::Scalar(10, 20, 30));
  p.Predict(frame, "");
  EXPECT_EQ(p.LastBlob().size[2], 300);
  EXPECT_EQ(p.LastBlob().size[3], 400);
}

struct BlobCase {
  const char* name;
  int image_type;
  cv::Scalar pixel;
  int input_channels;
  bool swap;
  cv::Scalar mean;
  double scale;
  std::vector<float> expected;
};

class BlobPreparationTest : public ::testing::TestWithParam<BlobCase> {};

TEST_P(BlobPreparationTest, ConvertsSubtractsAndScales) {
  const BlobCase& c = GetParam();
  OpenCVPredict p;
  ASSERT_TRUE(LoadChannelMean(&p, c.input_channels, c.mean, c.scale, c.swap));
  const cv::Mat frame(30, 40, c.image_type, c.pixel);
  EXPECT_THAT(p.Predict(frame, ""), Pointwise(FloatNear(1e-3), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlobPreparationTest,
    ::testing::Values(
        BlobCase{"MeanScalarPerChannel",
                 CV_8UC3,
                 {110, 120, 130},
                 3,
                 false,
                 {104, 117, 123},
                 1.0,
                 {6, 3, 7}},
        BlobCase{"MeanThenScale",
                 CV_8UC3,
                 {50, 125, 125},
                 3,
                 false,
                 {},
                 1.0 / 250,
                 {0.2f, 0.5f, 0.5f}},
        BlobCase{"SwapForThreeChannels",
                 CV_8UC3,
                 {10, 20, 30},
                 3,
                 true,
                 {},
                 1.0,
                 {30, 20, 10}},
        BlobCase{"BgraToBgr",
                 CV_8UC4,
                 {10, 20, 30, 200},
                 3,
                 false,
                 {},
                 1.0,
                 {10, 20, 30}},
        BlobCase{"GreyToBgr", CV_8UC1, {77}, 3, false, {}, 1.0, {77, 77, 77}},
        BlobCase{"GreyStaysGreyAndSwapIgnored",
                 CV_8UC1,
                 {77},
                 1,
                 true,
                 {},
                 1.0,
                 {77}},
        BlobCase{
            "BgrToGrey", CV_8UC3, {100, 100, 100}, 1, true, {}, 1.0, {100}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenCVPredictTest, MeanImageIsSubtractedInTheFrameTypeWithSaturation) {
  // Mean planes 10, 20, 200 (2 x 2 each); frame 50, 60, 70: the third
  // channel saturates at 0 in 8 bits.
  const std::string mean = MeanPayload(
      3, 2, 2, {10, 10, 10, 10, 20, 20, 20, 20, 200, 200, 200, 200});
  OpenCVPredict p;
  ASSERT_TRUE(p.LoadFromBytes("", ReadFile(DataPath("channel_mean.onnx")), mean,
                              cv::Size(4, 4), 3, cv::Scalar(), 1.0, false,
                              "ONNX", 0)
                  .ok());
  const cv::Mat frame(16, 16, CV_8UC3, cv::Scalar(50, 60, 70));
  EXPECT_THAT(p.Predict(frame, ""),
              Pointwise(FloatNear(1e-3), std::vector<float>{40, 40, 0}));
}

struct RefusedLoadCase {
  const char* name;
  std::string weights;  // the network text for "Caffe"
  std::string mean;
  int channels;
  std::string engine;
  const char* message;
};

class RefusedLoadTest : public ::testing::TestWithParam<RefusedLoadCase> {};

TEST_P(RefusedLoadTest, WritesOneLineAndFails) {
  const RefusedLoadCase& c = GetParam();
  OpenCVPredict p;
  ::testing::internal::CaptureStderr();
  const absl::Status loaded = p.LoadFromBytes(
      c.engine == "Caffe" ? c.weights : "",
      c.engine == "Caffe" ? "" : c.weights, c.mean, cv::Size(4, 4), c.channels,
      cv::Scalar(), 1.0, false, c.engine, 2);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(loaded.ok());
  // The line written is the failure's own message.
  EXPECT_THAT(err, HasSubstr("ERROR: " + std::string(loaded.message()) + "\n"));
  EXPECT_FALSE(p.Loaded());
  EXPECT_THAT(err, HasSubstr(c.message));
  EXPECT_FALSE(p.Push(cv::Mat(4, 4, CV_8UC3)));
  EXPECT_TRUE(p.Predict(cv::Mat(4, 4, CV_8UC3), "").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedLoadTest,
    ::testing::Values(
        RefusedLoadCase{"ShortMeanPayload",
                        ReadFile(DataPath("channel_mean.onnx")),
                        MeanPayload(3, 2, 2, {1, 2, 3}), 3, "ONNX",
                        "ERROR: Mean payload is shorter than its header"},
        RefusedLoadCase{"NoChannelsForOnnx",
                        ReadFile(DataPath("channel_mean.onnx")), "", -1, "ONNX",
                        "ERROR: input_channels is required for "
                        "engine ONNX"},
        // OpenCV cannot even size this layer; the exception is caught.
        RefusedLoadCase{"SliceAsLastLayer", kCaffeSliceNet, "", 4, "Caffe",
                        "ERROR: "},
        RefusedLoadCase{"GarbageTensorflow", "not a graph", "", 3, "Tensorflow",
                        "ERROR: "},
        RefusedLoadCase{"GarbageOnnx", "not a graph", "", 3, "ONNX",
                        "ERROR: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenCVPredictTest, UnreadableMeanFileFailsTheLoad) {
  OpenCVPredict p;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(p.LoadFromFiles("", DataPath("channel_mean.onnx"),
                               DataPath("no_such.mean"), cv::Size(4, 4), 3,
                               cv::Scalar(), 1.0, false, "Tensorflow", 0)
                   .ok());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: Could not read the mean file "));
}

TEST(OpenCVPredictTest, MissingNetworkFileFailsTheLoad) {
  OpenCVPredict p;
  ::testing::internal::CaptureStderr();
  const absl::Status loaded =
      p.LoadFromFiles("", DataPath("no_such.onnx"), "", cv::Size(4, 4), 3,
                      cv::Scalar(), 1.0, false, "ONNX", 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("ERROR: "));
  EXPECT_THAT(std::string(loaded.message()), HasSubstr("no_such.onnx"));
}

TEST(OpenCVPredictTest, RingOfTwoRefusesTheThirdPushUntilAPop) {
  OpenCVPredict p;
  ASSERT_TRUE(LoadChannelMean(&p, 3, cv::Scalar(), 1.0, false, 2));
  EXPECT_TRUE(p.Pop().empty());  // nothing pending: no wait
  const cv::Mat a(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat b(8, 8, CV_8UC3, cv::Scalar(4, 5, 6));
  EXPECT_TRUE(p.Push(a));
  EXPECT_TRUE(p.Push(b));
  EXPECT_FALSE(p.Push(a));
  EXPECT_THAT(p.Pop(), ElementsAre(1, 2, 3));
  EXPECT_TRUE(p.Push(a));
  EXPECT_THAT(p.Pop(), ElementsAre(4, 5, 6));
  EXPECT_THAT(p.Pop(), ElementsAre(1, 2, 3));
  EXPECT_TRUE(p.Pop().empty());
}

TEST(OpenCVPredictTest, RingOfZeroRefusesPushWithAMessage) {
  OpenCVPredict p;
  ASSERT_TRUE(LoadChannelMean(&p, 3, cv::Scalar(), 1.0, false, 0));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(p.Push(cv::Mat(8, 8, CV_8UC3)));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Inference queue size should be greater than 0\n");
}

TEST(OpenCVPredictTest, ProducerAndConsumerThreadsKeepTheOrder) {
  OpenCVPredict p;
  ASSERT_TRUE(LoadChannelMean(&p, 3, cv::Scalar(), 1.0, false, 2));
  constexpr int kFrames = 40;
  std::thread producer([&p] {
    cv::Mat frame(16, 16, CV_8UC3);
    for (int i = 0; i < kFrames; ++i) {
      frame.setTo(cv::Scalar(i, 2 * i, 3 * i));
      while (!p.Push(frame)) std::this_thread::yield();
    }
  });
  std::vector<float> firsts;
  while (static_cast<int>(firsts.size()) < kFrames) {
    const std::vector<float> out = p.Pop();
    if (out.empty()) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(out.size(), 3u);
    EXPECT_FLOAT_EQ(out[1], 2 * out[0]);
    firsts.push_back(out[0]);
  }
  producer.join();
  for (int i = 0; i < kFrames; ++i) EXPECT_FLOAT_EQ(firsts[i], i);
}

TEST(OpenCVPredictTest, PredictAllReturnsOneListPerName) {
  OpenCVPredict p;
  ASSERT_TRUE(LoadChannelMean(&p, 3, cv::Scalar(), 1.0, false));
  const cv::Mat frame(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
  const auto outputs =
      p.PredictAll(frame, {"mean", "onnx_node_output_0!pooled"});
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_THAT(outputs[0], ElementsAre(1, 2, 3));
  EXPECT_THAT(outputs[1], ElementsAre(1, 2, 3));
}

}  // namespace
}  // namespace talvenrook_vision
