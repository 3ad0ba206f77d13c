// Pipeline set-up fails, naming the model and the reason, when a model it
// would run cannot be loaded; and a crowd pipeline with a HAAR region model
// works in a process where no pipeline registered the adapters before.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tests/vision/objects/objects_test_util.h"
#include "vision/detectors/adapter_registry.h"
#include "vision/objects/crowd_analytics_video_v1.h"
#include "vision/objects/vehicle_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

using testing_util::CascadeModel;
using testing_util::DataPath;
using testing_util::SetBlob;
using testing_util::SetString;
using testing_util::SubMap;
using testing_util::YoloPersonModel;

Entity WithContent(Entity model, const std::string& key,
                   const std::string& value) {
  SetString(SubMap(&model, "content"), key, value);
  return model;
}

// The network text of YOLO-Fastest with `from` replaced by `to`, written
// once per process (removed at exit).
std::string ChangedNetworkText(const std::string& name, const std::string& from,
                               const std::string& to) {
  static std::vector<std::string>* written = [] {
    auto* paths = new std::vector<std::string>();
    std::atexit([] {
      for (const std::string& p : *written) std::remove(p.c_str());
    });
    return paths;
  }();
  std::string text = testing_util::ReadData("yolo-fastest-1.1_body.cfg");
  text.replace(text.find(from), from.size(), to);
  const std::string path =
      "/tmp/kestu-setup-" + std::to_string(getpid()) + "-" + name + ".cfg";
  std::ofstream(path) << text;
  written->push_back(path);
  return path;
}

std::vector<Entity> YoloWithText(const std::string& name,
                                 const std::string& from,
                                 const std::string& to) {
  return {WithContent(YoloPersonModel(), "prototxt_file",
                      ChangedNetworkText(name, from, to))};
}

Entity Classifier(const std::string& type) {
  Entity model = testing_util::ParseEntity(R"pb(
    properties { key: "version" value { string_value: "1" } }
    properties { key: "engine" value { string_value: "CAFFE" } }
    properties { key: "content" value { entity_value {
      properties { key: "prototxt_file" value { string_value: "/no/such.prototxt" } }
      properties { key: "caffemodel_file" value { string_value: "/no/such.caffemodel" } } } } }
    properties { key: "config" value { entity_value {} } })pb");
  SetString(&model, "type", type);
  return model;
}

struct SetupCase {
  const char* name;
  bool vehicle;  // else crowd
  std::string config;
  std::function<std::vector<Entity>()> models;
  std::string failure;  // "" when the set-up succeeds
};

const char kHaarRoi[] = R"pb(properties { key: "rois" value { array_value {
  values { entity_value { properties { key: "model" value { entity_value {
    properties { key: "type" value { string_value: "HAAR" } }
    properties { key: "version" value { string_value: "1" } } } } } } } } } })pb";

TEST(SetupFailuresTest, ModelsThatCannotBeLoadedFailTheSetUpWithTheirReason) {
  const std::vector<SetupCase> cases = {
      {"YoloLoads", false, "",
       [] { return std::vector<Entity>{YoloPersonModel()}; }, ""},
      {"MissingWeights", false, "",
       [] {
         return std::vector<Entity>{WithContent(
             YoloPersonModel(), "caffemodel_file", "/no/such.weights")};
       },
       "ROI #1 day detector: Could not load the model YOLO:1.1: Cannot read "
       "the "
       "model file \"/no/such.weights\": no such file"},
      {"NetworkTextIsADirectory", false, "",
       [] {
         return std::vector<Entity>{
             WithContent(YoloPersonModel(), "prototxt_file", DataPath(""))};
       },
       "not a regular file"},
      // OpenCV's reader would index, divide or allocate with these.
      {"RouteToAMissingLayer", false, "",
       [] {
         return YoloWithText("route", "layers=-2",
                             "layers=-99999999999999999999");
       },
       "Could not load the model YOLO:1.1: Darknet network text: layer #"},
      {"RouteForward", false, "",
       [] { return YoloWithText("forward", "layers=-2", "layers=500"); },
       "[route] \"layers\" names layer 500, which does not come before it"},
      {"StrideZero", false, "",
       [] { return YoloWithText("stride", "stride=2", "stride=0"); },
       "\"stride\" must be at least 1"},
      {"HugeFilters", false, "",
       [] { return YoloWithText("filters", "filters=", "filters=99999"); },
       "\"filters\" = 99999"},
      {"WeightsBytesOpenCVRefuses", false, "",
       [] {
         Entity model = YoloPersonModel();
         SubMap(&model, "content")
             ->mutable_properties()
             ->erase("caffemodel_file");
         SetBlob(SubMap(&model, "content"), "caffemodel", "not weights at all");
         return std::vector<Entity>{model};
       },
       "Could not load the model YOLO:1.1: OpenCV"},
      {"WrongEngine", false, "",
       [] {
         Entity model = YoloPersonModel();
         SetString(&model, "engine", "Caffe");
         return std::vector<Entity>{model};
       },
       "Could not load the model YOLO:1.1: OpenCV"},
      {"InputSizeTooLarge", false, "",
       [] {
         Entity model = YoloPersonModel();
         auto* size =
             (*SubMap(&model, "content")->mutable_properties())["input_size"]
                 .mutable_size_value();
         size->set_width(16384);
         size->set_height(16384);
         return std::vector<Entity>{model};
       },
       "The input size 16384 x 16384 is out of range"},
      {"BrokenCascade", false, kHaarRoi,
       [] {
         Entity model = CascadeModel("lbpcascade_frontalface_improved.xml");
         SetBlob(SubMap(&model, "content"), "cascade", "<opencv_storage>");
         return std::vector<Entity>{model};
       },
       "ROI #1 day detector: Could not load the model HAAR:1: Cascade "
       "definition "
       "error"},
      {"BrokenDayNightClassifier", false,
       R"pb(properties { key: "use_night_solution" value { boolean_value: true } })pb",
       [] {
         return std::vector<Entity>{YoloPersonModel(), Classifier("DAY-NIGHT")};
       },
       "Could not load the model DAY-NIGHT:1: Cannot read the model file"},
      {"BrokenFamilyCarClassifier", true, "",
       [] {
         return std::vector<Entity>{YoloPersonModel(),
                                    Classifier("FAMILY_CAR")};
       },
       "Could not load the model FAMILY_CAR:1: Cannot read the model file"},
  };
  for (const SetupCase& c : cases) {
    kestu_testing::StderrCapture quiet;
    const KestuEyeConfig config = testing_util::EyeConfig(c.config, c.models());
    std::unique_ptr<VisionAnalytics> pipeline;
    if (c.vehicle) {
      pipeline = std::make_unique<VehicleAnalyticsVideoV1>();
    } else {
      pipeline = std::make_unique<CrowdAnalyticsVideoV1>();
    }
    const absl::Status status = pipeline->Setup(config);
    if (c.failure.empty()) {
      EXPECT_TRUE(status.ok()) << c.name << ": " << status.message();
    } else {
      EXPECT_FALSE(status.ok()) << c.name;
      EXPECT_NE(status.message().find(c.failure), std::string::npos)
          << c.name << ": " << status.message();
    }
  }
}

TEST(SetupFailuresTest, CrowdHaarRegionModelNeedsNoEarlierPipeline) {
  ClearAdapterCreators();  // as in a process where nothing was set up yet
  CrowdAnalyticsVideoV1 crowd;
  kestu_testing::StderrCapture quiet;
  const absl::Status status = crowd.Setup(testing_util::EyeConfig(
      kHaarRoi, {CascadeModel("lbpcascade_frontalface_improved.xml")}));
  ASSERT_TRUE(status.ok()) << status.message();
  const DetectorAdapter* adapter =
      crowd.object_analytics()->regions().rois().at(0)->day_adapter();
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->TypeVersion().first, "HAAR");
}

}  // namespace
}  // namespace talvenrook_vision
