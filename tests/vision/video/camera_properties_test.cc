#include "vision/video/camera_properties.h"

#include <set>

#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

TEST(CameraPropertiesTest, NamesEveryIdUpTo45ButThirtyOne) {
  const auto& table = CameraPropertyTable();
  EXPECT_EQ(table.size(), 45u);
  std::set<int> ids;
  for (const auto& entry : table) ids.insert(entry.second);
  std::set<int> expected;
  for (int id = 0; id <= 45; ++id) {
    if (id != 31) expected.insert(id);
  }
  EXPECT_EQ(ids, expected);
}

TEST(CameraPropertiesTest, FindsExactNamesOnly) {
  const struct {
    const char* name;
    int id;
  } kKnown[] = {{"pos_msec", 0},
                {"frame_width", 3},
                {"frame_height", 4},
                {"white_balance_blue_u", 17},
                {"white_balance_red_v", 26},
                {"iso_speed", 30},
                {"backlight", 32},
                {"auto_wb", 44},
                {"wb_temperature", 45}};
  for (const auto& known : kKnown) {
    int id = -1;
    EXPECT_TRUE(FindCameraProperty(known.name, &id)) << known.name;
    EXPECT_EQ(id, known.id) << known.name;
  }
  int id = -1;
  for (const char* unknown :
       {"Brightness", "brightness ", "CAP_PROP_FPS", ""}) {
    EXPECT_FALSE(FindCameraProperty(unknown, &id)) << unknown;
  }
  EXPECT_EQ(id, -1);
}

}  // namespace
}  // namespace talvenrook_vision
