// The ring hands outputs back in the order the blobs went in, whichever
// network finishes first, on a pool or on the submitting thread; a failed
// inference gives an empty output and its line; two inferences never share
// a network; a ring torn down with work in flight waits for it.
#include "vision/inference/inference_ring.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "vision/exec/worker_pool.h"

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
  bool pool = true;  // else the inferences run in Submit
};

std::shared_ptr<TaskRunner> Pool() {
  return std::make_shared<WorkerPool>("test-ring");
}

class InferenceRingTest : public ::testing::TestWithParam<RingCase> {};

TEST_P(InferenceRingTest, OutputsComeBackInOrder) {
  const RingCase& c = GetParam();
  InferenceRing ring(c.slots, c.workers, Infer, c.pool ? Pool() : nullptr);
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
                      RingCase{"FailedInference", 2, 2, {1, -1, 0}},
                      RingCase{"WithoutAPool", 2, 2, {3, 0, 1, 2}, false},
                      RingCase{"FailedWithoutAPool", 2, 1, {1, -1}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InferenceRingTest, WaitsEndWhenTheRingChanges) {
  InferenceRing ring(1, 1, Infer, Pool());
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

TEST(InferenceRingTest, TwoInferencesNeverShareANetwork) {
  // More threads than networks: the ring must not run two blobs on one.
  auto pool = std::make_shared<WorkerPool>("test-ring");
  pool->EnsureWorkers(6);
  std::atomic<bool> busy[2] = {false, false};
  std::atomic<int> clashes{0}, running{0}, most{0};
  InferenceRing ring(
      8, 2,
      [&](size_t network, const cv::Mat& blob) {
        if (busy[network].exchange(true)) ++clashes;
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        cv::Mat output = Infer(network, blob);
        --running;
        busy[network] = false;
        return output;
      },
      pool);
  int popped = 0;
  for (int submitted = 0; popped < 40;) {
    while (submitted < 40 && !ring.Full()) {
      ring.NextBlob() = cv::Mat(1, 1, CV_32S, cv::Scalar(2));
      ring.Submit();
      ++submitted;
    }
    cv::Mat output;
    ASSERT_TRUE(ring.Pop(&output, std::chrono::seconds(10)));
    ++popped;
  }
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(most.load(), 2);  // both networks worked at once
}

TEST(InferenceRingTest, TornDownWithWorkInFlight) {
  auto pool = std::make_shared<WorkerPool>("test-ring");
  std::atomic<int> running{0};
  auto ring = std::make_unique<InferenceRing>(
      4, 2,
      [&running](size_t network, const cv::Mat& blob) {
        ++running;
        cv::Mat output = Infer(network, blob);
        --running;
        return output;
      },
      pool);
  for (int i = 0; i < 4; ++i) {
    ring->NextBlob() = cv::Mat(1, 1, CV_32S, cv::Scalar(20));
    ring->Submit();
  }
  ring.reset();  // drops the queued blobs, waits for the running ones
  EXPECT_EQ(running.load(), 0);
  // The pool outlives the ring and still runs work.
  std::atomic<bool> ran{false};
  pool->Post([&ran] { ran = true; });
  pool.reset();
  EXPECT_TRUE(ran.load());
}

}  // namespace
}  // namespace talvenrook_vision
