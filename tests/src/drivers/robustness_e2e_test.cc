// What a client sends never kills the process, and no failure reads as
// success: the crowd and face drivers over real sockets with the real
// models, given the configurations that used to abort the process, hang a
// driver, hold gigabytes or be answered CONFIG_RECEIVED while nothing could
// run; and the stand-alone process with a model that cannot be loaded.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_face.h"
#include "src/flags.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/src/drivers/live_driver.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PortBlock;
using Entity = ::talvenrook::common::Entity;
using Value = ::talvenrook::common::Value;
using std::chrono::milliseconds;
using std::chrono::seconds;

Value& Key(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

Entity* Config(DriverConfig* config) {
  return config->mutable_kestu_eye_config()->mutable_config();
}

Entity* ModelMap(DriverConfig* config, const std::string& section) {
  return Key(config->mutable_kestu_eye_config()->mutable_models(0), section)
      .mutable_entity_value();
}

Value Rect(int64_t x, int64_t y, int64_t width, int64_t height) {
  Value value;
  Entity* rect = value.mutable_entity_value();
  Key(rect, "x").set_integer_value(x);
  Key(rect, "y").set_integer_value(y);
  Key(rect, "width").set_integer_value(width);
  Key(rect, "height").set_integer_value(height);
  return value;
}

Value Point(int64_t x, int64_t y) {
  Value value;
  Key(value.mutable_entity_value(), "x").set_integer_value(x);
  Key(value.mutable_entity_value(), "y").set_integer_value(y);
  return value;
}

std::string WriteTemporary(const std::string& name, const std::string& text) {
  const std::string path =
      "/tmp/kestu-robust-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path) << text;
  return path;
}

// A sample on a looping excerpt, every result published with its preview
// (so that every frame is drawn, scaled and encoded).
DriverConfig LoopingSample(const std::string& sample, const std::string& clip) {
  DriverConfig config = SampleConfig(sample, clip);
  Key(Config(&config), "enable_source_reconnection").set_boolean_value(true);
  Key(Config(&config), "testing_mode").set_boolean_value(true);
  return config;
}

// One configuration that once broke the process, as a change of the crowd
// sample, and what the driver must answer.
struct BadConfiguration {
  const char* name;
  std::function<void(DriverConfig*)> change;
  Status::MessageType answer;  // CONFIG_RECEIVED, or STATUS_ERROR refusing it
  std::vector<std::string> texts;  // in the statuses of the message
};

const std::vector<BadConfiguration>& BadConfigurations() {
  static const auto* cases = new std::vector<BadConfiguration>{
      {"TinyPreviewFactor",
       [](DriverConfig* c) {
         Key(Config(c), "preview_size_factor").set_double_value(1e-300);
       },
       Status::CONFIG_RECEIVED,
       {}},
      {"PreviewFactorOneThousandth",
       [](DriverConfig* c) {
         Key(Config(c), "preview_size_factor").set_double_value(0.001);
       },
       Status::CONFIG_RECEIVED,
       {}},
      {"PreviewQualityAndBlurOutOfRange",
       [](DriverConfig* c) {
         Key(Config(c), "preview_quality").set_integer_value(2147483648LL);
         Key(Config(c), "blur_amount").set_integer_value(-2147483648LL);
       },
       Status::CONFIG_RECEIVED,
       {}},
      {"HugeForcedResolution",
       [](DriverConfig* c) {
         auto* size = Key(Config(c), "resolution").mutable_size_value();
         size->set_width(2147483647);
         size->set_height(2147483647);
         Key(Config(c), "force_resolution").set_boolean_value(true);
       },
       Status::CONFIG_RECEIVED,
       {"Resolution 2147483647 x 2147483647 is beyond 8192 x 8192"}},
      {"DayNightAreaOffFrame",
       [](DriverConfig* c) {
         Key(Config(c), "use_night_solution").set_boolean_value(true);
         Key(Config(c), "day_night_area") = Rect(2147483647, -1, 100, 100);
       },
       Status::CONFIG_RECEIVED,
       {}},
      {"MillionAreaPoints",
       [](DriverConfig* c) {
         auto* areas = Key(Config(c), "areas").mutable_array_value();
         areas->add_values()->mutable_array_value();  // an empty area first
         auto* points = areas->add_values()->mutable_array_value();
         for (int i = 0; i < 1000000; ++i)
           *points->add_values() = Point(i % 640, 5);
       },
       Status::STATUS_ERROR,
       {"Configuration refused: \"areas\" element #2 has 1000000 elements "
        "(at most 10000)"}},
      // Drawn, such points made OpenCV's line drawing divide by zero.
      {"AreaPointsFarOffFrame",
       [](DriverConfig* c) {
         auto* areas = Key(Config(c), "areas").mutable_array_value();
         areas->add_values()->mutable_array_value();  // an empty area first
         auto* points = areas->add_values()->mutable_array_value();
         *points->add_values() = Point(10, 10);
         *points->add_values() = Point(2147483647, -2147483648LL);
         *points->add_values() = Point(300, 200);
       },
       Status::CONFIG_RECEIVED,
       {"ERROR: Area #2 point #2 (2147483647, -2147483648) is beyond 100000 "
        "pixels; the area reports no event"}},
      {"ZoneFarOffFrame",
       [](DriverConfig* c) {
         Entity* zone = Key(Config(c), "zones")
                            .mutable_array_value()
                            ->mutable_values(0)
                            ->mutable_entity_value();
         Key(Key(zone, "A").mutable_entity_value(), "x")
             .set_integer_value(2147483647);
       },
       Status::CONFIG_RECEIVED,
       {"ERROR: Zone Walkway: A (2147483647, 130), B (320, 330) or height 40 "
        "is "
        "beyond 100000 pixels",
        "ERROR: Zone definition error"}},
      {"ZoneWithoutHeight",
       [](DriverConfig* c) {
         Entity* zone = Key(Config(c), "zones")
                            .mutable_array_value()
                            ->mutable_values(0)
                            ->mutable_entity_value();
         zone->mutable_properties()->erase("height");
       },
       Status::CONFIG_RECEIVED,
       {"ERROR: Property height was not found",
        "ERROR: Zone definition error"}},
      {"MissingWeights",
       [](DriverConfig* c) {
         Key(ModelMap(c, "content"), "caffemodel_file")
             .set_string_value("/no/such.weights");
       },
       Status::STATUS_ERROR,
       {"Pipeline setup failed: ROI #1 day detector: Could not load the model "
        "YOLO:1.1: Cannot read the model file \"/no/such.weights\": no such "
        "file"}},
      {"NetworkTextIsADirectory",
       [](DriverConfig* c) {
         Key(ModelMap(c, "content"), "prototxt_file").set_string_value("/tmp");
       },
       Status::STATUS_ERROR,
       {"Could not load the model YOLO:1.1: Cannot read the model file "
        "\"/tmp\": "
        "not a regular file"}},
      {"NumberOutOfRangeInNetworkText",
       [](DriverConfig* c) {
         Key(ModelMap(c, "content"), "prototxt_file")
             .set_string_value(WriteTemporary(
                 "huge.cfg",
                 "[net]\nwidth=99999999999999999999\nheight=320\n"
                 "channels=3\n[convolutional]\nfilters=16\n"));
       },
       Status::STATUS_ERROR,
       {"Could not load the model YOLO:1.1: "}},
      {"GarbageWeightsWithWrongEngine",
       [](DriverConfig* c) {
         Key(c->mutable_kestu_eye_config()->mutable_models(0), "engine")
             .set_string_value("Caffe");
       },
       Status::STATUS_ERROR,
       {"Could not load the model YOLO:1.1: "}},
      {"HugeNetworkInput",
       [](DriverConfig* c) {
         auto* size =
             Key(ModelMap(c, "content"), "input_size").mutable_size_value();
         size->set_width(16384);
         size->set_height(16384);
       },
       Status::STATUS_ERROR,
       {"The input size 16384 x 16384 is out of range"}},
      // Each slot of the inference ring, or each class of a track's vote,
      // held memory: these took gigabytes.
      {"HugeInferenceRing",
       [](DriverConfig* c) {
         Key(ModelMap(c, "config"), "async_queue_size")
             .set_integer_value(2147483647);
       },
       Status::CONFIG_RECEIVED,
       {"WARNING: async_queue_size must lie in [0, 64], got 2147483647; using "
        "2"}},
      {"HugeClassVote",
       [](DriverConfig* c) {
         Key(Config(c), "tracker_num_classes").set_integer_value(2147483647);
       },
       Status::CONFIG_RECEIVED,
       {"WARNING: tracker_num_classes and tracker_num_recent must be at most "
        "10000 and 1000"}},
      {"NegativeConfidenceThreshold",
       [](DriverConfig* c) {
         Key(ModelMap(c, "config"), "confidence_th").set_double_value(-1.0);
         Key(ModelMap(c, "config"), "nms_threshold")
             .set_double_value(std::nan(""));
       },
       Status::CONFIG_RECEIVED,
       {}},
      {"HaarRegionModelFirst",
       [](DriverConfig* c) {
         Entity* haar = c->mutable_kestu_eye_config()->add_models();
         Key(haar, "type").set_string_value("HAAR");
         Key(haar, "version").set_string_value("lbp");
         Key(haar, "engine").set_string_value("OpenCV");
         Key(Key(haar, "content").mutable_entity_value(), "cascade")
             .set_blob_value(kestu_testing::ReadFile(
                 std::string(KESTU_SOURCE_DIR) +
                 "/tests/data/lbpcascade_frontalface_improved.xml"));
         Key(haar, "config").mutable_entity_value();
         Value roi = Rect(0, 0, 0, 0);
         Entity* model =
             Key(roi.mutable_entity_value(), "model").mutable_entity_value();
         Key(model, "type").set_string_value("HAAR");
         Key(model, "version").set_string_value("lbp");
         *Key(Config(c), "rois").mutable_array_value()->add_values() = roi;
       },
       Status::CONFIG_RECEIVED,
       {}},
  };
  return *cases;
}

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override { FLAGS_add_frames_to_proto = true; }
  void TearDown() override {
    FLAGS_add_frames_to_proto = false;
    FLAGS_testing_mode = false;
  }
};

// Each configuration in turn on one crowd driver, the sample again between
// two: the process lives, the answer comes (a refusal with its reason and
// no CONFIG_RECEIVED), frames keep coming, and pings are answered. (The
// time to a refusal is measured by the pipeline fuzz.)
TEST_F(RobustnessTest, CrowdDriverHoldsUnderConfigurationsThatBrokeIt) {
  LiveDriver live(CrowdDriver::Kind(), 520);
  const DriverConfig sample = LoopingSample(
      "crowd_walkway.textproto", Excerpt(kPeopleClip, 0, 30, "robust-people"));
  int n = 0;
  auto send = [&](DriverConfig* config, const std::string& name) {
    config->set_uuid(name + "-" + std::to_string(++n));
    live.Send(*config);
    return config->uuid();
  };
  DriverConfig first = sample;
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, send(&first, "sample")));
  ASSERT_TRUE(live.ResultsFlow(3));
  for (const BadConfiguration& c : BadConfigurations()) {
    SCOPED_TRACE(c.name);
    DriverConfig bad = sample;
    c.change(&bad);
    const std::string uuid = send(&bad, c.name);
    const std::vector<Status> statuses = live.StatusesUntil(c.answer, uuid);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().type(), c.answer);
    if (c.answer == Status::STATUS_ERROR) {
      EXPECT_TRUE(std::none_of(
          statuses.begin(), statuses.end(),
          [](const Status& s) { return s.type() == Status::CONFIG_RECEIVED; }));
    }
    std::string all;
    for (const Status& s : statuses) all += s.message() + "\n";
    for (const std::string& text : c.texts) {
      EXPECT_NE(all.find(text), std::string::npos) << text << " in:\n" << all;
    }
    EXPECT_TRUE(live.ResultsFlow(3));
    EXPECT_TRUE(live.Ping());
    EXPECT_FALSE(live.driver().stopped_by_faults());
    DriverConfig again = sample;
    ASSERT_TRUE(
        live.WaitStatus(Status::CONFIG_RECEIVED, send(&again, "sample")));
  }
}

// The face sample with the attention point drawn and its radii at the off
// value (-1), every frame's preview drawn: no frame fails.
TEST_F(RobustnessTest, FaceAttentionPointWithRadiiOffDrawsNoCircle) {
  LiveDriver live(FaceDriver::Kind(), 521);
  DriverConfig config = LoopingSample(
      "face_desk.textproto",
      std::string(KESTU_SOURCE_DIR) + "/tests/data/face_asl_again.mkv");
  config.set_uuid("attention-point");
  Key(Config(&config), "draw_attention_point").set_boolean_value(true);
  Entity* point =
      Key(Config(&config), "attention_point").mutable_entity_value();
  Key(point, "x").set_integer_value(320);
  Key(point, "y").set_integer_value(240);
  Key(point, "distance_check_direction").set_integer_value(-1);
  Key(point, "distance_force_looking").set_integer_value(-1);
  live.Send(config);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, "attention-point"));
  EXPECT_TRUE(live.ResultsFlow(10));
  // A failed frame step would have been reported.
  EXPECT_FALSE(live.WaitStatus(Status::STATUS_ERROR, "", milliseconds(300)));
  EXPECT_TRUE(live.Ping());
}

// Stand-alone, a configuration whose model cannot be loaded ends the
// process with status 1 and the reason.
TEST(RobustnessStandaloneTest, MissingModelExitsWithStatusOne) {
  DriverConfig config = SampleConfig("crowd_walkway.textproto", RoadClip());
  Key(ModelMap(&config, "content"), "caffemodel_file")
      .set_string_value("/no/such.weights");
  std::string text;
  google::protobuf::TextFormat::PrintToString(config, &text);
  const std::string path = WriteTemporary("missing.textproto", text);
  const int base = PortBlock(522);
  kestu_testing::ChildProcess process(
      KESTU_BINARY_DIR "/src/kestu-vision",
      {"--standalone_mode", "--standalone_mode_driver=crowd",
       "--configuration_proto=" + path, "--bind_port=" + std::to_string(base),
       "--streaming_port=" + std::to_string(base + 13)});
  EXPECT_EQ(process.Wait(seconds(30)), 1);
  EXPECT_TRUE(process.WaitForStderr(
      "Pipeline setup failed: ROI #1 day detector: Could not load the model "
      "YOLO:1.1: Cannot read the model file \"/no/such.weights\"",
      seconds(1)));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vostek_kestu
