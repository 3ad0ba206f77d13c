// The crowd and vehicle drivers without sockets: their log lines, speed
// units, requests, type labels and pipeline installation, and the site's
// live-camera sample.
#include <filesystem>
#include <string>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_vehicle.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "vision/config/entity_config.h"

namespace vostek_kestu {
namespace {

namespace v1 = ::talvenrook::vision::v1;

VisionResult OneExit(const std::string& type, float speed, uint64_t id) {
  VisionResult result;
  result.set_uuid("6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21");
  auto* detection = result.add_rect_detection();
  detection->set_type(type);
  detection->set_tracking_id(id);
  auto* event = result.add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_zone_id(2);
  event->set_zone_name("door");
  event->set_zone_direction(v1::FORWARD);
  event->set_speed(speed);
  event->set_tracking_id(id);
  return result;
}

DriverConfig Config(const std::string& properties) {
  DriverConfig config;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(
      "uuid: \"u\" kestu_eye_config { config { " + properties + " } }",
      &config));
  return config;
}

// The vehicle settings the driver holds, after a configuration.
VehicleOptions VehicleSettings(const Driver& driver) {
  return dynamic_cast<const VehicleOptions&>(*driver.kind_options());
}

TEST(CrowdDriverTest, DetectionLine) {
  EXPECT_EQ(CrowdDriver::DetectionLine(OneExit("person", 1.5f, 7)),
            "Detection: {event: ZONE_EXIT, zone id: 2, zone name: door, zone "
            "direction: FORWARD, type: person, speed: 1.5 m/s, tracking id: 7, "
            "uuid: 6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21}");
}

TEST(CrowdDriverTest, InfoAndPublishedTags) {
  Driver driver(CrowdDriver::Kind());
  EXPECT_EQ(driver.published_event_tags(), std::set<EventTag>{v1::ZONE_EXIT});
  EXPECT_EQ(driver.Info().driver_name(), "CrowdDriver");
  EXPECT_EQ(driver.Info().notes_for_human(), "Crowd Driver");
  EXPECT_TRUE(driver.Info().needs_pings());
  EXPECT_TRUE(driver.Info().provides_updates());
}

TEST(VehicleDriverTest, DetectionLinesWithAndWithoutType) {
  Driver driver(VehicleDriver::Kind());
  driver.Configure(Config(
      R"pb(properties { key: "speed_unit" value { integer_value: 2 } })pb"));
  EXPECT_EQ(driver.kind_options()->DetectionLine(OneExit("car", 10.0f, 7)),
            "Detection: {event: ZONE_EXIT, zone id: 2, zone name: door, zone "
            "direction: FORWARD, type: car, speed: 22.37Mph tracking id: 7, "
            "uuid: 6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21}");
  driver.Configure(Config(
      R"pb(properties { key: "only_detection" value { boolean_value: true } })pb"));
  EXPECT_EQ(driver.kind_options()->DetectionLine(OneExit("car", 10.0f, 7)),
            "Detection: {event: ZONE_EXIT, zone id: 2, zone name: door, zone "
            "direction: FORWARD, speed: 22.37Mph tracking id: 7, "
            "uuid: 6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21}");
}

TEST(VehicleDriverTest, SettingsOfTheConfigMap) {
  Driver driver(VehicleDriver::Kind());
  struct Case {
    std::string value;
    int32_t unit;
  };
  const Case units[] = {
      {"string_value: \"km/h\"", 1},  {"string_value: \"Km/h\"", 0},
      {"string_value: \"miles\"", 2}, {"integer_value: 2", 2},
      {"string_value: \"\"", 0},
  };
  for (const Case& c : units) {
    driver.Configure(
        Config("properties { key: \"speed_unit\" value { " + c.value + " } }"));
    EXPECT_EQ(VehicleSettings(driver).speed_unit, c.unit) << c.value;
  }
  // Absent keys keep their values; "with_family_car" asks for the family
  // car recognition, and its absence clears the request.
  driver.Configure(Config(R"pb(
    properties { key: "draw_vehicle_type" value { boolean_value: true } }
    properties { key: "with_family_car" value { boolean_value: true } })pb"));
  EXPECT_TRUE(VehicleSettings(driver).draw_vehicle_type);
  EXPECT_EQ(VehicleSettings(driver).speed_unit, 0);
  ASSERT_EQ(driver.request().vehicle_recognition_size(), 1);
  EXPECT_EQ(driver.request().vehicle_recognition(0), v1::FAMILY_CAR);
  driver.Configure(Config(""));
  EXPECT_TRUE(VehicleSettings(driver).draw_vehicle_type);
  EXPECT_EQ(driver.request().vehicle_recognition_size(), 0);
}

TEST(VehicleDriverTest, TypeLabelsInTheTrackColour) {
  Driver driver(VehicleDriver::Kind());
  driver.Configure(Config(
      R"pb(properties { key: "draw_vehicle_type" value { boolean_value: true } })pb"));
  VisionResult result = OneExit("car", 1.0f, 7);
  auto* location = result.mutable_rect_detection(0)->mutable_location();
  location->set_x(101.7f);
  location->set_y(50.2f);
  location->set_width(80);
  location->set_height(40);
  result.add_rect_detection()->set_tracking_id(8);  // no type: no label
  cv::Mat image(200, 300, CV_8UC3, cv::Scalar(0, 0, 0));
  driver.DrawResults(result, image);
  // The label box is anchored at (x - 1, y) truncated: (100, 50), and
  // filled with the colour of track 7.
  EXPECT_EQ(image.at<cv::Vec3b>(50, 100), cv::Vec3b(70, 63, 212));
  EXPECT_EQ(image.at<cv::Vec3b>(49, 100), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(image.at<cv::Vec3b>(50, 99), cv::Vec3b(0, 0, 0));
  cv::Mat white;
  cv::inRange(image, cv::Scalar(255, 255, 255), cv::Scalar(255, 255, 255),
              white);
  const cv::Rect text = cv::boundingRect(white);
  EXPECT_GE(text.x, 106);
  EXPECT_GE(text.y, 50 + 3);
  EXPECT_GT(text.width, 10);
}

TEST(DriversTest, LoadingTheModelsInstallsOrKeepsThePipeline) {
  Driver driver(CrowdDriver::Kind());
  DriverConfig config = SampleConfig("crowd_walkway.textproto", "");
  config.mutable_kestu_eye_config()
      ->mutable_config()
      ->mutable_properties()
      ->erase("source");
  // Without models nothing is installed.
  DriverConfig no_models = config;
  no_models.mutable_kestu_eye_config()->clear_models();
  driver.Configure(no_models);
  EXPECT_FALSE(driver.HasPipeline());
  driver.Configure(config);
  EXPECT_TRUE(driver.HasPipeline());
  // A model set-up that needs a missing key is refused whole: the error
  // leaves the pipeline in place.
  DriverConfig refused = config;
  auto& props = *refused.mutable_kestu_eye_config()
                     ->mutable_config()
                     ->mutable_properties();
  props["distance_estimation"].mutable_entity_value();
  EXPECT_THROW(driver.Configure(refused),
               talvenrook_vision::MissingPropertyError);
  EXPECT_TRUE(driver.HasPipeline());
}

// samples/crowd_camera.textproto is the walkway sample on a site's live
// camera: a stream reopened when it goes, nothing recorded, every other key
// and the models as the walkway's, the model files named where
// scripts/install-site puts them (/usr/local/share/kestu/models/, which
// holds the repository's tests/data/ files). Mapped back to tests/data/,
// the crowd driver loads it.
TEST(DriversTest, CameraSampleIsTheWalkwaySampleOnALiveCamera) {
  using google::protobuf::util::MessageDifferencer;
  const std::string installed = "/usr/local/share/kestu/models/";
  const std::string repository = std::string(KESTU_SOURCE_DIR) + "/tests/data/";
  DriverConfig camera;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(
      kestu_testing::ReadFile(std::string(KESTU_SOURCE_DIR) +
                              "/samples/crowd_camera.textproto"),
      &camera));
  const auto& props = camera.kestu_eye_config().config().properties();
  ASSERT_EQ(props.count("source"), 1u);
  EXPECT_EQ(props.at("source").string_value(), "rtsp://camera.site/stream");
  ASSERT_EQ(props.count("enable_source_reconnection"), 1u);
  EXPECT_TRUE(props.at("enable_source_reconnection").boolean_value());
  EXPECT_EQ(props.count("recording_options"), 0u);

  // SampleConfig: the walkway's models by absolute paths in tests/data/,
  // its recording left out.
  const DriverConfig walkway = SampleConfig("crowd_walkway.textproto", "");
  const auto& walkway_props = walkway.kestu_eye_config().config().properties();
  EXPECT_EQ(props.size(), walkway_props.size());
  for (const auto& [key, value] : walkway_props) {
    if (key == "source" || key == "enable_source_reconnection") continue;
    ASSERT_EQ(props.count(key), 1u) << key;
    EXPECT_TRUE(MessageDifferencer::Equals(props.at(key), value)) << key;
  }

  DriverConfig mapped = camera;
  auto* eye = mapped.mutable_kestu_eye_config();
  int files = 0;
  for (auto& model : *eye->mutable_models()) {
    auto* content = (*model.mutable_properties())["content"]
                        .mutable_entity_value()
                        ->mutable_properties();
    for (const char* key : {"prototxt_file", "caffemodel_file"}) {
      ASSERT_EQ(content->count(key), 1u) << key;
      const std::string path = content->at(key).string_value();
      ASSERT_EQ(path.rfind(installed, 0), 0u) << path;
      const std::string local = repository + path.substr(installed.size());
      EXPECT_TRUE(std::filesystem::is_regular_file(local)) << local;
      (*content)[key].set_string_value(local);
      ++files;
    }
  }
  EXPECT_EQ(files, 2);
  ASSERT_EQ(eye->models_size(), walkway.kestu_eye_config().models_size());
  for (int i = 0; i < eye->models_size(); ++i) {
    EXPECT_TRUE(MessageDifferencer::Equals(
        eye->models(i), walkway.kestu_eye_config().models(i)))
        << eye->models(i).DebugString();
  }
  eye->mutable_config()->mutable_properties()->erase("source");
  Driver driver(CrowdDriver::Kind());
  driver.Configure(mapped);
  EXPECT_TRUE(driver.HasPipeline());
}

}  // namespace
}  // namespace vostek_kestu
