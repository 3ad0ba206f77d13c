#include "vision/regions/roi_set.h"

#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tests/testing/hand_over.h"
#include "tests/vision/detectors/detector_test_util.h"
#include "vision/detectors/adapter_registry.h"
#include "vision/detectors/register_adapters.h"
#include "vision/regions/roi_models.h"

namespace talvenrook_vision {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_util::CascadeModel;
using testing_util::FaceSSDModel;
using testing_util::ParseEntity;
using testing_util::ReadImage;

const cv::Rect kFace(285, 70, 80, 95);

size_t Count(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos;
       at = text.find(line, at + 1))
    ++n;
  return n;
}

class RoiSetTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterDetectorAdapters(); }

  // Runs `f` and returns what it wrote to standard error.
  template <typename F>
  std::string Log(F f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(RoiSetTest, RoiWithoutModelsDefaultsToTheFirstOfEachType) {
  KestuEyeConfig config;
  *config.add_models() = FaceSSDModel("SSD", "2");
  *config.add_models() = FaceSSDModel("SSD-NIGHT", "1");
  RoiSet set;
  const std::string log = Log([&] { EXPECT_TRUE(set.Configure(config).ok()); });
  EXPECT_THAT(log, HasSubstr("INFO: No ROI found. \n"
                             "Configuring day detector\n"
                             "No model specified on ROI. Trying to find a "
                             "default model to use...\n"
                             "Defaulting model to: SSD:2\n"
                             "Successfully loaded day detector\n"
                             "Configuring night detector\n"
                             "No model specified on ROI. Trying to find a "
                             "default model to use...\n"
                             "Defaulting model to: SSD-NIGHT:1\n"
                             "Successfully loaded night detector\n"));
  ASSERT_EQ(set.rois().size(), 1u);
  EXPECT_EQ(set.rois()[0]->day_adapter()->TypeVersion().first, "SSD");
  EXPECT_EQ(set.rois()[0]->night_adapter()->TypeVersion().first, "SSD-NIGHT");
}

TEST_F(RoiSetTest, UnknownVersionFallsBackToTheFirstModelOfTheType) {
  KestuEyeConfig config;
  *config.add_models() = FaceSSDModel("SSD", "2");
  const Entity roi_model = ParseEntity(R"pb(
    properties { key: "type" value { string_value: "SSD" } }
    properties { key: "version" value { string_value: "9" } })pb");
  std::unique_ptr<DetectorAdapter> slot;
  const std::string log = Log([&] {
    EXPECT_TRUE(ConfigureRoiModel(config, roi_model, &slot, "SSD").loaded);
  });
  EXPECT_EQ(log,
            "Could not load the model SSD:9\nDefaulting model to: SSD:2\n");
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->TypeVersion(), ModelTypeVersion("SSD", "2"));
}

TEST_F(RoiSetTest, NothingToLoadLeavesTheSlotEmpty) {
  KestuEyeConfig config;
  *config.add_models() = FaceSSDModel("SSD", "2");
  std::unique_ptr<DetectorAdapter> slot;
  const std::string log = Log([&] {
    EXPECT_FALSE(
        ConfigureRoiModel(config, Entity(), &slot, "SSD-NIGHT").loaded);
  });
  EXPECT_EQ(log,
            "No model specified on ROI. Trying to find a default model to "
            "use...\nCould not find a model to load.\n");
  EXPECT_EQ(slot, nullptr);
}

TEST_F(RoiSetTest, InputSizeOfTheRoiModelBecomesTheNetworkSize) {
  KestuEyeConfig config;
  *config.add_models() = FaceSSDModel("SSD", "2");
  const Entity roi_model = ParseEntity(R"pb(
    properties { key: "type" value { string_value: "SSD" } }
    properties { key: "version" value { string_value: "2" } }
    properties { key: "input_size" value { size_value { width: 128 height: 96 } } })pb");
  std::unique_ptr<DetectorAdapter> slot;
  ASSERT_TRUE(LoadRoiModel(config, roi_model, &slot, {"SSD", "2"}).ok());
  EXPECT_EQ(slot->NetworkSize(), cv::Size(128, 96));
}

// Three ROIs with cascade models and the histogram day/night judgement.
KestuEyeConfig ThreeRoiConfig() {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(R"pb(
    properties { key: "use_night_solution" value { boolean_value: true } }
    properties { key: "use_day_night_classifier" value { boolean_value: false } }
    properties { key: "rois" value { array_value {
      values { entity_value {
        properties { key: "x" value { integer_value: 200 } }
        properties { key: "y" value { integer_value: 0 } }
        properties { key: "width" value { integer_value: 1000 } }
        properties { key: "height" value { integer_value: 240 } } } }
      values { entity_value {
        properties { key: "x" value { integer_value: 0 } }
        properties { key: "y" value { integer_value: 300 } }
        properties { key: "width" value { integer_value: 100 } }
        properties { key: "height" value { integer_value: 100 } } } }
      values { entity_value {} }
    } } })pb");
  *config.add_models() =
      CascadeModel("lbpcascade_frontalface_improved.xml", "HAAR");
  *config.add_models() =
      CascadeModel("lbpcascade_frontalface_improved.xml", "HAAR-NIGHT");
  for (int i = 0; i < 3; ++i) {
    Entity* roi = config.mutable_config()
                      ->mutable_properties()
                      ->at("rois")
                      .mutable_array_value()
                      ->mutable_values(i)
                      ->mutable_entity_value();
    *(*roi->mutable_properties())["model"].mutable_entity_value() = ParseEntity(
        R"pb(properties { key: "type" value { string_value: "HAAR" } }
             properties { key: "version" value { string_value: "1" } })pb");
    *(*roi->mutable_properties())["model_night"].mutable_entity_value() =
        ParseEntity(
            R"pb(properties { key: "type" value { string_value: "HAAR-NIGHT" } }
                 properties { key: "version" value { string_value: "1" } })pb");
  }
  return config;
}

TEST_F(RoiSetTest, DayToNightSwitchesEveryRoiOnce) {
  RoiSet set;
  const std::string setup =
      Log([&] { EXPECT_TRUE(set.Configure(ThreeRoiConfig()).ok()); });
  EXPECT_THAT(setup, HasSubstr("INFO: Configuring 3 ROIs.\n"));
  EXPECT_THAT(setup, HasSubstr("INFO: Roi #1: [1000 x 240 from (200, 0)]\n"));
  EXPECT_THAT(setup, HasSubstr("INFO: Roi #3: [0 x 0 from (0, 0)]\n"));
  const cv::Mat day = ReadImage("face_frame.jpg");
  const cv::Mat night = cv::Mat::zeros(day.size(), CV_8UC3);

  EXPECT_EQ(Log([&] { set.Detect(day); }), "");  // starts as day
  const std::string log = Log([&] { set.Detect(night); });
  EXPECT_EQ(Count(log,
                  "Changing models due to day/night change.\n"
                  "Using night models.\n"),
            3u);
  EXPECT_EQ(set.moment(), NightSolution::kNight);
  for (const auto& roi : set.rois())
    EXPECT_EQ(roi->ActiveAdapter()->TypeVersion().first, "HAAR-NIGHT");
  EXPECT_EQ(Log([&] { set.Detect(night); }), "");  // no change, no lines
  EXPECT_EQ(Count(Log([&] { set.Detect(day); }), "Using day models.\n"), 3u);
}

TEST_F(RoiSetTest, RegionsAreCutAtTheFrameAndBoxesComeBackInFramePixels) {
  RoiSet set;
  Log([&] { EXPECT_TRUE(set.Configure(ThreeRoiConfig()).ok()); });
  const cv::Mat frame = ReadImage("face_frame.jpg");
  const std::vector<DetectionList> lists = set.Detect(frame);
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(set.rois()[0]->effective_rect(), cv::Rect(200, 0, 440, 240));
  EXPECT_EQ(set.rois()[2]->effective_rect(), cv::Rect(0, 0, 640, 480));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lists[i].roi_index, i);
  ASSERT_FALSE(lists[0].boxes.empty());
  const cv::Point centre =
      (lists[0].boxes[0].tl() + lists[0].boxes[0].br()) / 2;
  EXPECT_TRUE(kFace.contains(centre)) << lists[0].boxes[0];
  EXPECT_TRUE(lists[1].boxes.empty());  // a corner of the wall
  EXPECT_EQ(lists[2].boxes, set.Detect(frame)[2].boxes);
  const std::vector<DetectionList> none = set.Detect(cv::Mat());
  ASSERT_EQ(none.size(), 3u);
  EXPECT_EQ(none[2].roi_index, 2);
  EXPECT_TRUE(none[0].boxes.empty());
}

TEST_F(RoiSetTest, PushedFramesArePoppedOnAnotherThreadInOrder) {
  KestuEyeConfig config;
  *config.add_models() = FaceSSDModel("SSD", "1");
  RoiSet set;
  Log([&] { EXPECT_TRUE(set.Configure(config).ok()); });
  const cv::Mat face = ReadImage("face_frame.jpg");
  const cv::Mat blank = cv::Mat::zeros(face.size(), CV_8UC3);
  std::vector<size_t> counts;
  kestu_testing::HandOver<RoiSet::Pushed> pushed(6);
  std::thread consumer([&] {
    for (int i = 0; i < 6; ++i)
      counts.push_back(set.PopDetections(pushed.Pop())[0].boxes.size());
  });
  for (int i = 0; i < 6; ++i) {
    RoiSet::Pushed frame = set.PushFrame(i % 2 == 0 ? face : blank);
    EXPECT_TRUE(frame.refused.ok());
    pushed.Push(std::move(frame));
  }
  consumer.join();
  EXPECT_EQ(counts, (std::vector<size_t>{1, 0, 1, 0, 1, 0}));
}

TEST_F(RoiSetTest, RegionsAreDrawnWhileFramesArePushedAndPopped) {
  RoiSet set;
  Log([&] { EXPECT_TRUE(set.Configure(ThreeRoiConfig()).ok()); });
  const cv::Mat face = ReadImage("face_frame.jpg");
  cv::Mat half;
  cv::resize(face, half, face.size() / 2);
  constexpr int kFrames = 8;
  std::atomic<bool> done{false};
  kestu_testing::HandOver<RoiSet::Pushed> pushed(kFrames);
  std::thread consumer([&] {
    for (int i = 0; i < kFrames; ++i) set.PopDetections(pushed.Pop());
    done = true;
  });
  // The drawing thread draws while the producer cuts regions out of frames
  // of two sizes; every drawing outlines the regions of its own frame.
  int drawings = 0;
  std::thread drawer([&] {
    while (!done) {
      cv::Mat canvas = cv::Mat::zeros(half.size(), CV_8UC3);
      set.Draw(canvas);
      // The whole-frame region is outlined (its inner line one pixel up)
      // along the half frame's bottom, not beyond it as it would be for
      // the full frame.
      EXPECT_NE(canvas.at<cv::Vec3b>(238, 50), cv::Vec3b(0, 0, 0));
      ++drawings;
    }
  });
  for (int i = 0; i < kFrames; ++i) {
    RoiSet::Pushed frame = set.PushFrame(i % 2 == 0 ? face : half);
    EXPECT_TRUE(frame.refused.ok());
    pushed.Push(std::move(frame));
  }
  consumer.join();
  drawer.join();
  EXPECT_GT(drawings, 0);
}

TEST_F(RoiSetTest, DrawLabelsEveryRegionWithItsActiveModelType) {
  RoiSet set;
  Log([&] { EXPECT_TRUE(set.Configure(ThreeRoiConfig()).ok()); });
  cv::Mat frame = ReadImage("face_frame.jpg");
  set.Detect(frame);
  cv::Mat drawn = frame.clone();
  set.Draw(drawn);
  // The outline of the second region (0, 300, 100, 100) is drawn.
  EXPECT_NE(drawn.at<cv::Vec3b>(300, 50), frame.at<cv::Vec3b>(300, 50));
  EXPECT_EQ(drawn.at<cv::Vec3b>(350, 50), frame.at<cv::Vec3b>(350, 50));
}

}  // namespace
}  // namespace talvenrook_vision
