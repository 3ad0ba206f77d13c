#include "vision/detectors/adapter_registry.h"

#include <gtest/gtest.h>

#include "detector_test_util.h"
#include "vision/detectors/haar_detector_adapter.h"
#include "vision/detectors/register_adapters.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/detectors/yolo_detector_adapter.h"

namespace talvenrook_vision {
namespace {

using testing_util::CascadeModel;
using testing_util::FaceSSDModel;
using testing_util::ParseEntity;
using testing_util::YoloPersonModel;

class AdapterRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAdapterCreators();
    RegisterAdapterCreator("SSD", CreateSSDDetectorAdapter);
    RegisterAdapterCreator("HAAR", CreateHaarDetectorAdapter);
    RegisterAdapterCreator("YOLO", CreateYoloDetectorAdapter);
  }
  void TearDown() override { ClearAdapterCreators(); }

  KestuEyeConfig config_;
};

TEST_F(AdapterRegistryTest, EachTypeGoesToItsAdapter) {
  const auto haar = CreateAdapter(
      config_, CascadeModel("lbpcascade_cars_frontbackview.xml", "HAAR-NIGHT"));
  EXPECT_NE(dynamic_cast<HaarDetectorAdapter*>(haar.get()), nullptr);

  const auto ssd = CreateAdapter(config_, FaceSSDModel("SSD-NIGHT"));
  ASSERT_NE(dynamic_cast<SSDDetectorAdapter*>(ssd.get()), nullptr);
  EXPECT_EQ(dynamic_cast<YoloDetectorAdapter*>(ssd.get()), nullptr);
  EXPECT_EQ(ssd->TypeVersion(), ModelTypeVersion("SSD-NIGHT", "1"));

  const auto yolo = CreateAdapter(config_, YoloPersonModel("YOLO-NIGHT"));
  EXPECT_NE(dynamic_cast<YoloDetectorAdapter*>(yolo.get()), nullptr);
}

TEST_F(AdapterRegistryTest, UnservedTypeGivesNothing) {
  const Entity model = ParseEntity(R"pb(
    properties { key: "type" value { string_value: "DAY-NIGHT" } })pb");
  EXPECT_EQ(CreateAdapter(config_, model), nullptr);
}

TEST_F(AdapterRegistryTest, ModelWithoutTypeIsAMissingProperty) {
  EXPECT_THROW(CreateAdapter(config_, Entity()), MissingPropertyError);
}

TEST_F(AdapterRegistryTest, RegisteringANameAgainReplacesItsCreator) {
  RegisterAdapterCreator("HAAR", [](const KestuEyeConfig&, const Entity&) {
    return std::unique_ptr<DetectorAdapter>();
  });
  EXPECT_EQ(
      CreateAdapter(config_, CascadeModel("lbpcascade_cars_frontbackview.xml")),
      nullptr);
}

TEST(RegisterDetectorAdaptersTest, RegistersTheBuiltInAdapters) {
  ClearAdapterCreators();
  RegisterDetectorAdapters();
  KestuEyeConfig config;
  EXPECT_NE(
      CreateAdapter(config, CascadeModel("lbpcascade_cars_frontbackview.xml")),
      nullptr);
  ClearAdapterCreators();
}

}  // namespace
}  // namespace talvenrook_vision
