// The ring hands outputs back in the order the blobs went in, whichever
// worker finishes first; a failed inference gives an empty output and its
// line; a ring torn down with work in flight stops.
#include "vision/inference/inference_ring.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;

// The blob holds one int: how long the inference takes (ms), or -1 for an
// inference that throws. The output is that int doubled.
cv::Mat Infer(size_t, const cv::Mat& blob) {
  const int value = blob.at<int>(0);
  if (value < 0) CV_Error(cv::Error::StsBadArg, "refused blob");
  std::this_thread::sleep_for(milliseconds(value));  // the work itself
  return cv::Mat(1, 1, CV_32S, cv::Scalar(2 * value));
}

struct RingCase {
  const char* name;
  size_t slots;
  size_t workers;
  std::vector<int> blobs;
};

class InferenceRingTest : public ::testing::TestWithParam<RingCase> {};

TEST_P(InferenceRingTest, OutputsComeBackInOrder) {
  const RingCase& c = GetParam();
  InferenceRing ring(c.slots, c.workers, Infer);
  ::testing::internal::CaptureStderr();
  std::vector<int> outputs;
  size_t submitted = 0;
  while (outputs.size() < c.blobs.size()) {
    while (submitted < c.blobs.size() && !ring.Full()) {
      ring.NextBlob() = cv::Mat(1, 1, CV_32S, cv::Scalar(c.blobs[submitted]));
      ring.Submit();
      ++submitted;
    }
    EXPECT_LE(ring.Pending(), static_cast<int64_t>(c.slots));
    cv::Mat output;
    ASSERT_TRUE(ring.Pop(&output, std::chrono::seconds(10)));
    outputs.push_back(output.empty() ? -1 : output.at<int>(0));
  }
  const std::string written = ::testing::internal::GetCapturedStderr();
  std::vector<int> expected;
  for (int blob : c.blobs) expected.push_back(blob < 0 ? -1 : 2 * blob);
  EXPECT_EQ(outputs, expected);
  EXPECT_EQ(ring.Pending(), 0);
  cv::Mat none;
  EXPECT_FALSE(ring.Pop(&none, milliseconds(1)));
  const bool fails =
      std::find(c.blobs.begin(), c.blobs.end(), -1) != c.blobs.end();
  if (fails) {
    EXPECT_THAT(written, HasSubstr("ERROR: "));
    EXPECT_THAT(written, HasSubstr("refused blob"));
  } else {
    EXPECT_EQ(written, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rings, InferenceRingTest,
    ::testing::Values(RingCase{"OneWorker", 2, 1, {3, 0, 1, 2}},
                      // The first blob is the slowest: the others finish
                      // first on the other workers and wait their turn.
                      RingCase{"SlowFirstOnThreeWorkers", 3, 3, {30, 1, 0, 2}},
                      RingCase{"FailedInference", 2, 2, {1, -1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InferenceRingTest, WaitsEndWhenTheRingChanges) {
  InferenceRing ring(1, 1, Infer);
  EXPECT_FALSE(ring.WaitForPending(milliseconds(1)));
  ring.NextBlob() = cv::Mat(1, 1, CV_32S, cv::Scalar(20));
  ring.Submit();
  EXPECT_TRUE(ring.Full());
  EXPECT_TRUE(ring.WaitForPending(milliseconds(1)));
  std::thread consumer([&] {
    cv::Mat output;
    EXPECT_TRUE(ring.Pop(&output, std::chrono::seconds(10)));
  });
  ring.WaitForRoom();  // returns once the consumer has popped
  EXPECT_FALSE(ring.Full());
  consumer.join();
}

TEST(InferenceRingTest, TornDownWithWorkInFlight) {
  auto ring = std::make_unique<InferenceRing>(4, 2, Infer);
  for (int i = 0; i < 4; ++i) {
    ring->NextBlob() = cv::Mat(1, 1, CV_32S, cv::Scalar(5));
    ring->Submit();
  }
  ring.reset();  // joins the workers; must not hang or crash
  SUCCEED();
}

}  // namespace
}  // namespace talvenrook_vision
