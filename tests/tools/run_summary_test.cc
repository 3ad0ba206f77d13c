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
      "I20261209 23:59:59.500000 1 driver_source.cc:2] Connected to video source!\n"
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

}  // namespace
}  // namespace kestu_tools
