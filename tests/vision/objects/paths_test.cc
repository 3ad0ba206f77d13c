// The two ways of running a frame give one result: the same frames give
// the same results through Process as begun ahead and finished later (also
// with frames in flight, and with motion gating), and both are measured.
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "tests/vision/objects/objects_test_util.h"
#include "vision/objects/crowd_analytics_video_v1.h"
#include "vision/objects/measurements.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using ::google::protobuf::util::MessageDifferencer;
using testing_util::EventsOf;
using testing_util::EyeConfig;
using testing_util::PersonAt;
using testing_util::VerticalZone;
using testing_util::YoloPersonModel;

constexpr char kShortTracks[] = R"pb(
  properties { key: "tracker_frames_to_discard" value { integer_value: 3 } })pb";
constexpr char kGating[] = R"pb(
  properties { key: "motion_gating" value { boolean_value: true } }
  properties { key: "motion_gating_max_skip" value { integer_value: 4 } })pb";

// The results with every track id replaced by the order of its first
// appearance (ids come from one process-wide counter, so two pipelines
// number the same tracks differently).
std::vector<VisionResult> Renumbered(std::vector<VisionResult> results) {
  std::map<uint64_t, uint64_t> order;
  auto renumber = [&order](uint64_t id) {
    return order.emplace(id, order.size()).first->second;
  };
  for (VisionResult& result : results) {
    for (auto& detection : *result.mutable_rect_detection()) {
      detection.set_tracking_id(renumber(detection.tracking_id()));
    }
    for (auto& event : *result.mutable_vision_event()) {
      event.set_tracking_id(renumber(event.tracking_id()));
    }
  }
  return results;
}

struct PathCase {
  const char* name;
  std::string config;
  int in_flight;  // frames pushed before the first pop (at most the
                  // detector's queue of 2)
};

class PathsTest : public ::testing::TestWithParam<PathCase> {
 protected:
  void SetUp() override {
    for (int x = 160; x <= 800; x += 32) frames_.push_back(PersonAt(x));
    for (int i = 0; i < 4; ++i) frames_.push_back(PersonAt(-1));
  }

  void Configure(CrowdAnalyticsVideoV1* crowd, ManualTrackingClock* clock) {
    crowd->SetClock(clock);
    ASSERT_TRUE(crowd
                    ->Setup(EyeConfig(VerticalZone(480, "Door") + kShortTracks +
                                          GetParam().config,
                                      {YoloPersonModel()}))
                    .ok());
    crowd->SetMonitorPerformance(true);
  }

  std::vector<cv::Mat> frames_;
};

TEST_P(PathsTest, PushedFramesGiveTheResultsOfProcessAndAreMeasured) {
  ManualTrackingClock clock;
  CrowdAnalyticsVideoV1 crowd;
  Configure(&crowd, &clock);
  ::testing::internal::CaptureStdout();
  int64_t measured = CrowdMeasurementCounter().load();
  std::vector<VisionResult> processed;
  for (const cv::Mat& frame : frames_) {
    clock.AdvanceTicks(100);
    processed.push_back(crowd.Process({}, frame));
  }
  EXPECT_EQ(CrowdMeasurementCounter().load() - measured,
            static_cast<int64_t>(frames_.size()));

  ManualTrackingClock pushed_clock;
  CrowdAnalyticsVideoV1 pushed;
  Configure(&pushed, &pushed_clock);
  measured = CrowdMeasurementCounter().load();
  std::vector<VisionResult> popped;
  std::deque<std::unique_ptr<FrameWork>> in_flight;
  const size_t ahead = static_cast<size_t>(GetParam().in_flight);
  for (size_t i = 0; i < frames_.size() + ahead - 1; ++i) {
    if (i < frames_.size())
      in_flight.push_back(pushed.Begin(frames_[i], /*ahead=*/true));
    if (i + 1 < ahead) continue;
    pushed_clock.AdvanceTicks(100);
    popped.push_back(pushed.Finish(std::move(in_flight.front()), {},
                                   frames_[i + 1 - ahead]));
    in_flight.pop_front();
  }
  EXPECT_EQ(CrowdMeasurementCounter().load() - measured,
            static_cast<int64_t>(frames_.size()));
  ::testing::internal::GetCapturedStdout();

  ASSERT_EQ(popped.size(), processed.size());
  processed = Renumbered(std::move(processed));
  popped = Renumbered(std::move(popped));
  for (size_t i = 0; i < processed.size(); ++i) {
    EXPECT_TRUE(MessageDifferencer::Equals(popped[i], processed[i]))
        << "frame " << i << "\nprocessed:\n"
        << processed[i].DebugString() << "popped:\n"
        << popped[i].DebugString();
  }
  // The walk is counted once on both paths.
  EXPECT_EQ(EventsOf(processed, v1::ZONE_EXIT).size(), 1u);
  EXPECT_EQ(pushed.statistics().counts(), crowd.statistics().counts());
}

INSTANTIATE_TEST_SUITE_P(Paths, PathsTest,
                         ::testing::Values(PathCase{"OneAtATime", "", 1},
                                           PathCase{"TwoInFlight", "", 2},
                                           PathCase{"Gated", kGating, 1}),
                         [](const ::testing::TestParamInfo<PathCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace talvenrook_vision
