#include "vision/timing/tick_meter_manager.h"

#include <cmath>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "talvenrook/vision/v1/vision.pb.h"

namespace talvenrook_vision {
namespace {

// 1000 ticks per second, so one tick is one millisecond.
class TickMeterManagerTest : public ::testing::Test {
 protected:
  TickMeterManagerTest() : meter_([this] { return now_; }, 1000.0) {}

  std::string Printed() {
    std::ostringstream out;
    meter_.Print(out);
    return out.str();
  }

  void Time(const std::string& name, int64_t ticks) {
    meter_.StartSection(name);
    now_ += ticks;
    meter_.StopSection(name);
  }

  int64_t now_ = 1000;
  TickMeterManager meter_;
};

TEST_F(TickMeterManagerTest, SingleIntervalAfterResetPrintsItsMilliseconds) {
  Time("Detection", 40);
  meter_.Reset();
  meter_.StartSection("Detection");
  now_ += 250;
  EXPECT_EQ(meter_.StopSection("Detection"), 250);
  EXPECT_EQ(Printed(), "Detection: 250ms\n");
}

TEST_F(TickMeterManagerTest, AverageOverSeveralIntervals) {
  Time("Detection", 100);
  Time("Detection", 301);
  EXPECT_EQ(Printed(), "Detection: 200.5ms\n");
  const SectionRecord* record = meter_.Find("Detection");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->count, 2);
  EXPECT_EQ(record->total_ticks, 401);
  EXPECT_EQ(record->start_tick, 0);
}

TEST_F(TickMeterManagerTest, TicksFromAnotherThreadAddToTheMeasurement) {
  // A frame's Begin took 60 ticks elsewhere; its Finish 40 here.
  meter_.StartSection("Detection");
  now_ += 40;
  meter_.StopSection("Detection");
  meter_.AddTicks("Detection", 60);
  const SectionRecord* record = meter_.Find("Detection");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->count, 1);
  EXPECT_EQ(record->total_ticks, 100);
  EXPECT_EQ(Printed(), "Detection: 100ms\n");
}

TEST_F(TickMeterManagerTest, StopWithoutStartChangesNothing) {
  EXPECT_EQ(meter_.StopSection("Tracking"), now_);
  EXPECT_EQ(meter_.Find("Tracking"), nullptr);
  EXPECT_EQ(Printed(), "");

  Time("Tracking", 30);
  now_ += 500;
  EXPECT_EQ(meter_.StopSection("Tracking"), now_);
  EXPECT_EQ(Printed(), "Tracking: 30ms\n");
}

TEST_F(TickMeterManagerTest, ResetKeepsSectionsWithoutMeasurements) {
  Time("Detection", 10);
  meter_.StartSection("Tracking");
  meter_.Reset();
  // The interrupted measurement does not count after the reset.
  now_ += 10;
  meter_.StopSection("Tracking");

  const SectionRecord* record = meter_.Find("Tracking");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->count, 0);
  EXPECT_EQ(record->total_ticks, 0);

  const std::string printed = Printed();
  EXPECT_NE(printed.find("Detection: "), std::string::npos) << printed;
  EXPECT_NE(printed.find("nan"), std::string::npos) << printed;

  talvenrook::vision::v1::FrameData frame_data;
  meter_.ExportSections(frame_data.mutable_sections());
  ASSERT_EQ(frame_data.sections().size(), 2u);
  EXPECT_TRUE(std::isnan(frame_data.sections().at("Detection")));
  EXPECT_TRUE(std::isnan(frame_data.sections().at("Tracking")));
}

TEST_F(TickMeterManagerTest, PrintAndExportVisitSectionsInNameOrder) {
  Time("Tracking", 4);
  Time("Preprocessing", 1);
  Time("Classification", 3);
  Time("Detection", 2);
  EXPECT_EQ(Printed(),
            "Classification: 3ms\nDetection: 2ms\nPreprocessing: 1ms\n"
            "Tracking: 4ms\n");

  talvenrook::vision::v1::FrameData frame_data;
  (*frame_data.mutable_sections())["Other"] = 7.0f;
  meter_.ExportSections(frame_data.mutable_sections());
  EXPECT_EQ(frame_data.sections().size(), 5u);
  EXPECT_FLOAT_EQ(frame_data.sections().at("Classification"), 3.0f);
  EXPECT_FLOAT_EQ(frame_data.sections().at("Tracking"), 4.0f);
  EXPECT_FLOAT_EQ(frame_data.sections().at("Other"), 7.0f);
}

TEST_F(TickMeterManagerTest, SetSectionReplacesTheRecord) {
  Time("Detection", 10);
  meter_.SetSection("Detection", SectionRecord{2, 3000, 0});
  EXPECT_EQ(Printed(), "Detection: 1500ms\n");

  // A record copied while running can be stopped here.
  meter_.SetSection("Detection", SectionRecord{1, 100, now_ - 50});
  EXPECT_EQ(meter_.StopSection("Detection"), 50);
  EXPECT_EQ(Printed(), "Detection: 75ms\n");
}

TEST(TickMeterManagerBaseTest, DoesNothing) {
  std::unique_ptr<TickMeterManagerBase> meter =
      std::make_unique<TickMeterManagerBase>();
  meter->StartSection("Detection");
  EXPECT_EQ(meter->StopSection("Detection"), 0);
  std::ostringstream out;
  meter->Print(out);
  EXPECT_EQ(out.str(), "");
  talvenrook::vision::v1::FrameData frame_data;
  meter->ExportSections(frame_data.mutable_sections());
  EXPECT_TRUE(frame_data.sections().empty());
  EXPECT_FALSE(meter->IsEnabled());
}

TEST(TickMeterManagerRealClockTest, MeasuresWithTheOpenCvTickCounter) {
  std::unique_ptr<TickMeterManagerBase> meter =
      std::make_unique<TickMeterManager>();
  EXPECT_TRUE(meter->IsEnabled());
  meter->StartSection("Detection");
  EXPECT_GE(meter->StopSection("Detection"), 0);
  talvenrook::vision::v1::FrameData frame_data;
  meter->ExportSections(frame_data.mutable_sections());
  ASSERT_EQ(frame_data.sections().count("Detection"), 1u);
  EXPECT_GE(frame_data.sections().at("Detection"), 0.0f);
}

}  // namespace
}  // namespace talvenrook_vision
