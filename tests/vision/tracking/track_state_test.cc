// Per-track state kept outside the tracker (zones, areas, speed estimators,
// class votes) must follow the tracker's live tracks, also for tracks that
// die without ever being reported as ended; and zones and areas are drawn.
#include <algorithm>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "vision/tracking/tracker.h"
#include "vision/tracking/tracker_mode.h"
#include "vision/tracking/zone_events.h"

namespace talvenrook_vision {
namespace {

// A counting line across x = 0..640 at y = 200 with a speed scale, and an
// area covering the upper half of the lanes.
constexpr char kZonesAndArea[] = R"pb(
  properties { key: "zones" value { array_value { values { entity_value {
    properties { key: "A" value { entity_value {
      properties { key: "x" value { integer_value: 0 } }
      properties { key: "y" value { integer_value: 200 } } } } }
    properties { key: "B" value { entity_value {
      properties { key: "x" value { integer_value: 640 } }
      properties { key: "y" value { integer_value: 200 } } } } }
    properties { key: "height" value { integer_value: 20 } }
    properties { key: "name" value { string_value: "door" } }
    properties { key: "meter_pixel_ratio" value { double_value: 0.05 } }
  } } } } }
  properties { key: "areas" value { array_value { values { array_value {
    values { entity_value {
      properties { key: "x" value { integer_value: 5 } }
      properties { key: "y" value { integer_value: 5 } } } }
    values { entity_value {
      properties { key: "x" value { integer_value: 630 } }
      properties { key: "y" value { integer_value: 5 } } } }
    values { entity_value {
      properties { key: "x" value { integer_value: 630 } }
      properties { key: "y" value { integer_value: 150 } } } }
  } } } } })pb";

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity));
  return entity;
}

// Short-lived tracks in ten lanes, one after another in each lane, each
// moving down across the area and the counting line. Every frame the state
// of every updated track is fed (as a pipeline that also classifies
// unconfirmed tracks does), then dropped tracks are forgotten.
struct ShortLivedTrack {
  int life;     // frames with a detection
  float score;  // detection score
};

TEST(TrackStateTest, TenThousandShortLivedTracksLeaveNoStateBehind) {
  ManualTrackingClock clock(1, 1000.0);
  Tracker tracker(&clock);
  Tracker::Parameters parameters;
  parameters.frames_to_count = 3;
  parameters.frames_to_discard = 2;
  parameters.detection_score_threshold = 0.5f;
  tracker.Configure(parameters);
  ZoneEvents events(&clock);
  std::cerr.setstate(std::ios::failbit);  // the readers' INFO lines
  events.Configure(Parse(kZonesAndArea));
  std::cerr.clear();
  events.set_measure_speed(events.AnyZoneMeasuresSpeed());
  ASSERT_TRUE(events.measure_speed());
  TrackerMode vote(4, 5);

  // Alternately never confirmed (2 hits) and confirmed below the score
  // threshold (8 hits at 0.3): neither kind ever appears among the ended
  // tracks, so only the dropped ids can clear their state.
  const ShortLivedTrack kinds[] = {{2, 0.9f}, {8, 0.3f}};
  constexpr int kLanes = 10;
  constexpr int kTracksPerLane = 1000;
  constexpr int kGap = 4;  // frames between tracks of a lane (> discard)
  struct Lane {
    int spawned = 0;
    int age = -1;  // frames of the current track; -1 between tracks
    int wait = 0;
  };
  std::vector<Lane> lanes(kLanes);
  int ended = 0;
  size_t peak_state = 0;
  auto busy = [&] {
    for (const Lane& lane : lanes) {
      if (lane.spawned < kTracksPerLane || lane.age >= 0) return true;
    }
    return false;
  };
  // Frames go on until the last tracks are discarded too.
  for (int frame = 0; busy() || !tracker.tracks().empty(); ++frame) {
    clock.AdvanceTicks(40);
    std::vector<cv::Rect> boxes;
    std::vector<float> scores;
    for (int l = 0; l < kLanes; ++l) {
      Lane& lane = lanes[l];
      if (lane.age < 0 && lane.spawned < kTracksPerLane && lane.wait-- <= 0) {
        lane.age = 0;
        ++lane.spawned;
      }
      if (lane.age < 0) continue;
      const ShortLivedTrack& kind = kinds[lane.spawned % 2];
      if (lane.age == kind.life) {
        lane.age = -1;
        lane.wait = kGap;
        continue;
      }
      boxes.emplace_back(l * 64, 100 + lane.age * 25, 20, 20);
      scores.push_back(kind.score);
      ++lane.age;
    }
    tracker.Update(boxes, scores);
    ZoneEvents::VisionResult result;
    for (const Track* track : tracker.GetTracks(/*include_unconfirmed=*/true)) {
      events.Emit(*track, clock.Ticks(), &result);
      vote.Vote(track->id, track->class_index, track->last_score);
    }
    ended += static_cast<int>(tracker.EndedTracks().size());
    ForgetDroppedTracks(tracker, &events, &vote);
    peak_state = std::max(peak_state, events.TrackStateCount());
  }
  EXPECT_EQ(ended, 0);
  EXPECT_GT(peak_state, 0u);  // state was kept while the tracks lived
  EXPECT_EQ(events.TrackStateCount(), 0u);
  EXPECT_EQ(vote.TrackCount(), 0u);
}

TEST(TrackStateTest, ZonesAndAreasAreDrawn) {
  ZoneEvents events;
  std::cerr.setstate(std::ios::failbit);
  events.Configure(Parse(kZonesAndArea));
  std::cerr.clear();
  cv::Mat frame = cv::Mat::zeros(480, 640, CV_8UC3);
  events.Draw(frame);
  // The counting line, the band outline 10 pixels above it, the area's
  // upper edge in red.
  EXPECT_EQ(frame.at<cv::Vec3b>(200, 320), cv::Vec3b(0, 255, 255));
  EXPECT_EQ(frame.at<cv::Vec3b>(190, 320), cv::Vec3b(255, 255, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(5, 320), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(frame.at<cv::Vec3b>(300, 320), cv::Vec3b(0, 0, 0));
}

}  // namespace
}  // namespace talvenrook_vision
