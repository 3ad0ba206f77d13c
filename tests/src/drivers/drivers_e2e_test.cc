// The crowd and vehicle drivers from end to end: the real YOLO-Fastest
// models on frame ranges of the real clips, configured and read over real
// sockets; bad configurations that leave the driver running; and the
// stand-alone process in record mode.
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_vehicle.h"
#include "src/flags.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/src/drivers/live_driver.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_tools::DriverClient;
using kestu_tools::ReceiveStatus;
using kestu_tools::Subscriber;
using Entity = ::talvenrook::common::Entity;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kWait(20000);

// Published results by (zone name, direction name); every one of them
// follows the convention and names the same track in its detection and its
// event.
std::map<std::string, int> CountExits(const std::vector<VisionResult>& results,
                                      const std::string& type) {
  std::map<std::string, int> counts;
  for (const VisionResult& result : results) {
    EXPECT_EQ(result.rect_detection_size(), 1);
    EXPECT_EQ(result.vision_event_size(), 1);
    if (result.rect_detection_size() != 1 || result.vision_event_size() != 1)
      continue;
    const auto& event = result.vision_event(0);
    EXPECT_EQ(event.tag(), v1::ZONE_EXIT);
    EXPECT_EQ(result.rect_detection(0).tracking_id(), event.tracking_id());
    if (!type.empty()) {
      EXPECT_EQ(result.rect_detection(0).type(), type);
    }
    EXPECT_FALSE(result.uuid().empty());
    counts[event.zone_name() + " " +
           v1::ZoneDirection_Name(event.zone_direction())] += 1;
  }
  return counts;
}

TEST(CrowdDriverE2ETest, CountsPeopleCrossingTheWalkway) {
  const std::string clip = Excerpt(kPeopleClip, 0, 279, "walkway");
  ASSERT_FALSE(clip.empty())
      << kPeopleClip << " is missing: scripts/install-deps installs it";
  LiveDriver live(CrowdDriver::Kind(), 300);
  const DriverConfig config = SampleConfig("crowd_walkway.textproto", clip);
  live.Send(config);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, config.uuid()));
  const auto counts =
      CountExits(live.ResultsUntilStopped(seconds(90)), "person");
  // Expected, from the frames of vtest.avi 0-279 looked at one by one
  // (crops around the line every third frame, with and without the
  // driver's overlay): one man crosses the line left to right (frames
  // 9-12); five people cross it right to left (frames 66-72, 165-169,
  // 186-189, 225-231 and 261-267). The man of frames 66-72 turns and walks
  // back across the line at frames 96-100: one track makes one event, so
  // that return is not counted while his track holds, but one more FORWARD
  // exit is right if his track is lost and born again on the way back; the
  // people near the sign post (x = 420) walk in pairs, where a lost track
  // can cost or add one crossing. Hence one either way.
  const int forward =
      counts.count("Walkway FORWARD") ? counts.at("Walkway FORWARD") : 0;
  const int backward =
      counts.count("Walkway BACKWARD") ? counts.at("Walkway BACKWARD") : 0;
  EXPECT_GE(forward, 1);
  EXPECT_LE(forward, 2);
  EXPECT_GE(backward, 4);
  EXPECT_LE(backward, 6);
  EXPECT_EQ(counts.size(), forward > 0 && backward > 0 ? 2u : 1u);
  EXPECT_GT(live.pings_answered(), 0);
}

TEST(VehicleDriverE2ETest, CountsVehiclesPerDirection) {
  const std::string clip = Excerpt(RoadClip(), 0, 219, "road");
  ASSERT_FALSE(clip.empty());
  LiveDriver live(VehicleDriver::Kind(), 301);
  // Refused first: a classifier model without "config", then one without
  // "type"; each is reported with its missing key and installs nothing.
  DriverConfig config = SampleConfig("vehicle_motorway.textproto", clip);
  for (const char* key : {"config", "type"}) {
    DriverConfig refused = config;
    auto* classifier = refused.mutable_kestu_eye_config()->add_models();
    (*classifier->mutable_properties())["type"].set_string_value("IS_VEHICLE");
    (*classifier->mutable_properties())["version"].set_string_value("1");
    (*classifier->mutable_properties())["engine"].set_string_value("CAFFE");
    (*classifier->mutable_properties())["config"].mutable_entity_value();
    classifier->mutable_properties()->erase(key);
    refused.set_uuid(std::string("refused-") + key);
    live.Send(refused);
    auto error = live.WaitStatus(Status::STATUS_ERROR, refused.uuid());
    ASSERT_TRUE(error) << key;
    EXPECT_EQ(error->message(),
              std::string("CHECK failed: it != end(): key not found: ") + key);
    EXPECT_FALSE(live.driver().HasPipeline());
  }
  live.Send(config);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, config.uuid()));
  const auto counts = CountExits(live.ResultsUntilStopped(seconds(90)), "car");
  // Expected, from frames 0-219 of road_motorway.avi looked at every fourth
  // frame with the driver's overlay: six vehicles drive away across the
  // Outbound line (frames about 48, 90, 100, 125, 180 and 209) and four
  // come towards the camera across the Inbound line (about 63, 72, 110 and
  // 195). Two of the inbound ones are vans that leave the frame at its
  // left edge right after the line, and the far outbound cars are small,
  // so a track cut a few frames short can cost one count either way; no
  // vehicle crosses a line the wrong way.
  auto count = [&](const std::string& key) {
    return counts.count(key) ? counts.at(key) : 0;
  };
  EXPECT_NEAR(count("Outbound FORWARD"), 6, 1);
  EXPECT_NEAR(count("Inbound BACKWARD"), 4, 1);
  EXPECT_EQ(count("Outbound BACKWARD"), 0);
  EXPECT_EQ(count("Inbound FORWARD"), 0);
}

// One change of a valid configuration, and what it must bring.
struct BadInput {
  std::string name;
  std::string config_text;     // merged into the config map
  bool drop_source;            // no "source": the frames go on as they were
  std::string model_key;       // erased from the model map, when not empty
  std::string model_file;      // replaces the weights path, when not empty
  Status::MessageType status;  // CONFIG_RECEIVED or STATUS_ERROR
  std::string text;            // the status message, or a line on stderr
};

TEST(CrowdDriverE2ETest, BadConfigurationsLeaveTheDriverRunning) {
  const std::string clip = Excerpt(kPeopleClip, 0, 40, "walkway-start");
  ASSERT_FALSE(clip.empty());
  const DriverConfig valid = SampleConfig("crowd_walkway.textproto", clip);
  const std::vector<BadInput> cases = {
      {"zone without B", R"pb(properties { key: "zones" value { array_value {
         values { entity_value {
           properties { key: "A" value { entity_value {
             properties { key: "x" value { integer_value: 1 } }
             properties { key: "y" value { integer_value: 1 } } } } }
           properties { key: "height" value { integer_value: 9 } } } } } } })pb",
       true, "", "", Status::CONFIG_RECEIVED,
       "ERROR: Property B was not found\nERROR: Zone definition error\n"},
      {"area not a list", R"pb(properties { key: "areas" value { array_value {
         values { string_value: "square" } } } })pb",
       true, "", "", Status::CONFIG_RECEIVED,
       "WARNING: Area #1 is not a list of at least 3 points; it reports no "
       "event\n"},
      {"unknown label", R"pb(properties { key: "indexes_to_filter" value {
         array_value { values { string_value: "unicorn" } } } })pb",
       true, "", "", Status::CONFIG_RECEIVED,
       "WARNING: Label \"unicorn\" from indexes_to_filter not found\n"},
      {"class of another kind", R"pb(properties { key: "indexes_to_filter"
         value { array_value { values { boolean_value: true } } } })pb",
       true, "", "", Status::CONFIG_RECEIVED,
       "WARNING: indexes_to_filter element #1 is neither a label name nor a "
       "class index; it is read as class 0\n"},
      {"region outside the frame", R"pb(properties { key: "rois" value {
         array_value { values { entity_value {
           properties { key: "x" value { integer_value: 5000 } }
           properties { key: "y" value { integer_value: 5000 } }
           properties { key: "width" value { integer_value: 100 } }
           properties { key: "height" value { integer_value: 100 } } } } } } })pb",
       false, "", "", Status::CONFIG_RECEIVED,
       "WARNING: ROI #1 [100 x 100 from (5000, 5000)] lies outside the 768 x "
       "576 frame; nothing is detected there\n"},
      // Refused: the previous pipeline stays.
      {"weights that do not load", "", false, "", "/nonexistent/yolo.weights",
       Status::STATUS_ERROR,
       "Pipeline setup failed: ROI #1 day detector: Could not load the model "
       "YOLO:1.1: Cannot read the model file \"/nonexistent/yolo.weights\": no "
       "such file"},
      {"no f_over_s", R"pb(properties { key: "distance_estimation" value {
         entity_value {} } })pb",
       true, "", "", Status::STATUS_ERROR,
       "CHECK failed: it != end(): key not found: f_over_s"},
      {"object size without class", R"pb(properties { key: "distance_estimation"
         value { entity_value {
           properties { key: "f_over_s" value { integer_value: 900 } }
           properties { key: "object_sizes" value { array_value {
             values { entity_value {
               properties { key: "size" value { double_value: 1.8 } } } } } } }
         } } })pb",
       true, "", "", Status::STATUS_ERROR,
       "CHECK failed: it != end(): key not found: class"},
      {"model without engine", "", true, "engine", "", Status::STATUS_ERROR,
       "CHECK failed: it != end(): key not found: engine"},
      {"clahe without use_at_night", R"pb(properties { key: "clahe" value {
         entity_value {
           properties { key: "clip_limit" value { integer_value: 2 } }
           properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
           properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
           properties { key: "use_at_day" value { boolean_value: true } } } } })pb",
       true, "", "", Status::STATUS_ERROR,
       "CHECK failed: it != end(): key not found: use_at_night"},
  };
  kestu_testing::StderrCapture capture;
  LiveDriver live(CrowdDriver::Kind(), 302);
  live.Send(valid);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, valid.uuid()));
  for (const BadInput& c : cases) {
    DriverConfig config = valid;
    config.set_uuid("bad: " + c.name);
    auto* eye = config.mutable_kestu_eye_config();
    Entity extra;
    ASSERT_TRUE(
        google::protobuf::TextFormat::ParseFromString(c.config_text, &extra));
    for (const auto& [key, value] : extra.properties())
      (*eye->mutable_config()->mutable_properties())[key] = value;
    if (c.drop_source)
      eye->mutable_config()->mutable_properties()->erase("source");
    auto* model = eye->mutable_models(0)->mutable_properties();
    if (!c.model_key.empty()) model->erase(c.model_key);
    if (!c.model_file.empty()) {
      SetProperty((*model)["content"].mutable_entity_value(), "caffemodel_file",
                  c.model_file);
    }
    const int pings = live.pings_answered();
    live.Send(config);
    auto status = live.WaitStatus(c.status, config.uuid());
    ASSERT_TRUE(status) << c.name;
    if (c.status == Status::STATUS_ERROR) {
      EXPECT_EQ(status->message(), c.text) << c.name;
    } else {
      EXPECT_TRUE(PollUntil([&] { return capture.Contains(c.text); }, kWait))
          << c.name << ": " << c.text;
    }
    EXPECT_TRUE(live.driver().HasPipeline()) << c.name;
    // The driver goes on answering its client.
    EXPECT_TRUE(PollUntil([&] { return live.pings_answered() > pings; }, kWait))
        << c.name;
  }
  // The next valid configuration works: the man of frames 9-12 crosses.
  DriverConfig again = valid;
  again.set_uuid("valid again");
  live.Send(again);
  ASSERT_TRUE(live.WaitStatus(Status::CONFIG_RECEIVED, again.uuid()));
  const auto counts =
      CountExits(live.ResultsUntilStopped(seconds(60)), "person");
  EXPECT_EQ(counts.count("Walkway FORWARD") ? counts.at("Walkway FORWARD") : 0,
            1);
}

TEST(StandaloneTest, RecordRunEndsWithTheClipAndMatchesWhatWasPublished) {
  const std::string clip = Excerpt(kPeopleClip, 150, 279, "walkway-middle");
  ASSERT_FALSE(clip.empty());
  const std::string stem = "/tmp/kestu-standalone-" + std::to_string(getpid());
  // The sample configuration as a client would write it, in text format,
  // with its recording of the annotated frames.
  DriverConfig config = SampleConfig("crowd_walkway.textproto", clip);
  auto& options = *(*config.mutable_kestu_eye_config()
                         ->mutable_config()
                         ->mutable_properties())["recording_options"]
                       .mutable_entity_value();
  SetProperty(&options, "filename", stem + "-annotated");
  SetProperty(&options, "extension", "avi");
  SetProperty(&options, "codec", "MJPG");
  (*options.mutable_properties())["allow_drawings"].set_boolean_value(true);
  (*options.mutable_properties())["allow_processing"].set_boolean_value(true);
  (*options.mutable_properties())["duration"].set_integer_value(600);
  std::string text;
  ASSERT_TRUE(google::protobuf::TextFormat::PrintToString(config, &text));
  {
    std::ofstream out(stem + ".textproto");
    out << text;
  }
  const int base = PortBlock(303);
  kestu_testing::ChildProcess process(
      KESTU_BINARY_DIR "/src/kestu-vision",
      {"--bind_port=" + std::to_string(base),
       "--streaming_port=" + std::to_string(base + 15), "--standalone_mode",
       "--standalone_mode_driver=crowd",
       "--configuration_proto=" + stem + ".textproto",
       "--record_detections_file=" + stem + ".pb"});
  // The source is given seconds to settle before its first frame, so the
  // subscription is in place before anything is published.
  zmq::context_t context(1);
  Subscriber data(context, kestu_tools::Endpoint("127.0.0.1", base + 9 + 3),
                  kWait);
  ASSERT_TRUE(data.connected());
  std::vector<VisionResult> published;
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  while (process.Running() && std::chrono::steady_clock::now() < deadline) {
    if (auto bytes = data.Receive(milliseconds(100))) {
      published.emplace_back();
      published.back().ParseFromString(*bytes);
    }
  }
  ASSERT_EQ(process.Wait(seconds(5)), 0) << process.Stderr();
  const std::string err = process.Stderr();
  EXPECT_NE(err.find("Record/Playback mode executed successfully"),
            std::string::npos);
  EXPECT_NE(err.find("Detection: {event: ZONE_EXIT"), std::string::npos);

  VisionResultList record;
  ASSERT_TRUE(record.ParseFromString(kestu_testing::ReadFile(stem + ".pb")));
  EXPECT_EQ(record.vision_results_size(), 130);
  // Every exit of the record was published, with the track's detection of
  // that frame, and nothing else was.
  std::vector<std::string> recorded, seen;
  auto key = [](const v1::RectangularDetection& d, const v1::VisionEvent& e) {
    return std::to_string(e.tracking_id()) + " " +
           v1::ZoneDirection_Name(e.zone_direction()) + " " + e.zone_name() +
           " " + d.location().ShortDebugString();
  };
  for (const VisionResult& frame : record.vision_results()) {
    for (const auto& event : frame.vision_event()) {
      for (const auto& detection : frame.rect_detection()) {
        if (detection.tracking_id() == event.tracking_id())
          recorded.push_back(key(detection, event));
      }
    }
  }
  for (const VisionResult& result : published) {
    ASSERT_EQ(result.vision_event_size(), 1);
    ASSERT_EQ(result.rect_detection_size(), 1);
    seen.push_back(key(result.rect_detection(0), result.vision_event(0)));
  }
  EXPECT_FALSE(recorded.empty());
  EXPECT_EQ(seen, recorded);

  // The annotated recording holds every frame.
  cv::VideoCapture annotated(stem + "-annotated.avi");
  ASSERT_TRUE(annotated.isOpened());
  int frames = 0;
  for (cv::Mat frame; annotated.read(frame);) ++frames;
  EXPECT_EQ(frames, 130);
  for (const char* suffix : {".textproto", ".pb", "-annotated.avi"})
    std::remove((stem + suffix).c_str());
}

}  // namespace
}  // namespace vostek_kestu
