// The summary that scripts/demo prints after a stand-alone record run.
#include "tools/run_summary.h"

#include <gtest/gtest.h>

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

void AddExit(v1::VisionResult* frame, const std::string& zone,
             v1::ZoneDirection direction, float speed) {
  auto* event = frame->add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_zone_name(zone);
  event->set_zone_direction(direction);
  event->set_speed(speed);
}

TEST(RunSummaryTest, ParagraphOfARun) {
  v1::VisionResultList record;
  for (int i = 0; i < 40; ++i) record.add_vision_results();
  AddExit(record.mutable_vision_results(3), "Walkway", v1::BACKWARD, 1.0f);
  AddExit(record.mutable_vision_results(9), "Walkway", v1::FORWARD, 2.0f);
  AddExit(record.mutable_vision_results(9), "Gate", v1::FORWARD, 0.0f);
  record.mutable_vision_results(9)->add_vision_event()->set_tag(v1::AREA_ENTER);
  RunSummary run = SummariseDetections(record);
  // A run that went past midnight: 23:59:59.5 to 00:00:07.5 is 8 seconds.
  run.seconds = FrameLoopSeconds(
      "I20261209 23:59:58.000000 1 driver_source.cc:1] Source: x\n"
      "I20261209 23:59:59.500000 1 driver_source.cc:2] Connected to video "
      "source!\n"
      "I20261210 00:00:07.500000 1 detection_file.cc:3] Saving 40 frames\n");
  EXPECT_DOUBLE_EQ(run.seconds, 8.0);
  EXPECT_EQ(SummaryParagraph("crowd", "vtest.avi", run, "/v.mp4", "/d.pb"),
            "The crowd driver processed 40 frames of vtest.avi in 8.0 s, 5.0 "
            "frames per second (reading, analysis, drawing and recording). "
            "Zone exits: Gate 1 FORWARD; Walkway 1 FORWARD and 1 BACKWARD. "
            "Mean exit speed: Gate not measured; Walkway 1.50 m/s (5.4 km/h). "
            "Annotated video: /v.mp4. Detections file (one result per "
            "frame): /d.pb.");
  EXPECT_EQ(FrameLoopSeconds("no timing here\n"), 0.0);
}

TEST(RunSummaryTest, TrackSummariesAreCounted) {
  v1::VisionResultList record;
  record.add_vision_results();
  for (int crossings : {0, 2}) {
    auto* end = record.mutable_vision_results(0)->add_vision_event();
    end->set_tag(v1::TRACKING_END);
    end->mutable_first_location()->set_width(10);
    for (int i = 0; i < crossings; ++i)
      end->add_crossings()->set_tag(v1::ZONE_EXIT);
  }
  // A face track's end carries no first box: no summary of this kind.
  record.mutable_vision_results(0)->add_vision_event()->set_tag(
      v1::TRACKING_END);
  const RunSummary run = SummariseDetections(record);
  EXPECT_NE(
      SummaryParagraph("crowd", "c.avi", run, "", "/d.pb")
          .find(" Track summaries: 2 tracks ended, 1 of them crossed a zone."),
      std::string::npos);
}

v1::RectangularDetection* AddFace(v1::VisionResult* frame, uint64_t id,
                                  bool looking) {
  v1::RectangularDetection* face = frame->add_rect_detection();
  face->set_type("face");
  face->set_tracking_id(id);
  auto* pose = face->add_facial_recognition();
  pose->set_tag(v1::HEAD_POSE);
  pose->set_is_looking(looking);
  return face;
}

TEST(RunSummaryTest, FaceTracksEndedAndStillAlive) {
  v1::VisionResultList record;
  for (int i = 0; i < 10; ++i) record.add_vision_results();
  // Track 4 ends in frame 5 with its voted attributes and dwell time.
  for (int i = 1; i <= 4; ++i)
    AddFace(record.mutable_vision_results(i), 4, true);
  v1::RectangularDetection* last =
      record.mutable_vision_results(5)->add_rect_detection();
  last->set_type("face");
  last->set_tracking_id(4);
  auto* gender = last->add_facial_recognition();
  gender->set_tag(v1::GENDER);
  gender->set_gender(v1::FacialRecognition::FEMALE);
  auto* end = record.mutable_vision_results(5)->add_vision_event();
  end->set_tag(v1::TRACKING_END);
  end->set_tracking_id(4);
  end->set_dwell_time(1.25f);
  // Track 7 is alive at the end: looking on frames 6 and 7, not on 8 and 9.
  for (int i = 6; i <= 9; ++i) {
    v1::RectangularDetection* face =
        AddFace(record.mutable_vision_results(i), 7, i <= 7);
    auto* age = face->add_facial_recognition();
    age->set_tag(v1::AGE);
    age->set_age(30 + i);
  }
  // People are not faces.
  record.mutable_vision_results(6)->add_rect_detection()->set_type("person");

  const auto tracks = SummariseFaceTracks(record, 0.5);
  ASSERT_EQ(tracks.size(), 2u);
  RunSummary run = SummariseDetections(record);
  run.seconds = 2.0;
  // Track 7: 0.5 s (6 to 7, both looking) + 0.25 s (7 to 8, one) + 0.
  EXPECT_EQ(FaceSummaryText("clip.mkv", run, tracks, "/v.mp4", "/d.pb"),
            "The face driver processed 10 frames of clip.mkv in 2.0 s, 5.0 "
            "frames per second (reading, analysis, drawing and recording).\n"
            "Face track 4: 4 frames, FEMALE, age not voted, emotion not voted, "
            "looking 1.2 s, ended.\n"
            "Face track 7: 4 frames, gender not voted, age 39, emotion not "
            "voted, looking 0.8 s, still tracked at the end.\n"
            "Annotated video: /v.mp4. Detections file (one result per frame): "
            "/d.pb.");
}

}  // namespace
}  // namespace kestu_tools
