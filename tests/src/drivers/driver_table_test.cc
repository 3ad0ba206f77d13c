// The driver table: one entry per driver, in port order, whose names and
// offsets are what the process binds and what the tools read.
#include "src/drivers/driver_table.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "src/drivers/driver_names.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

namespace v1 = ::talvenrook::vision::v1;

struct Row {
  std::string key;
  std::string display_name;
  std::string notes;
  int port_offset;
  std::set<EventTag> tags;
};

TEST(DriverTableTest, OneEntryPerDriverInPortOrderAsTheToolsSeeThem) {
  const Row expected[] = {
      {"face", "Face Driver", "Face Driver", 1, {v1::TRACKING_END}},
      {"vehicle", "VehicleDriver", "Vehicle Driver", 5, {v1::ZONE_EXIT}},
      {"crowd", "CrowdDriver", "Crowd Driver", 9, {v1::ZONE_EXIT}},
  };
  const auto& table = DriverTable();
  ASSERT_EQ(table.size(), 3u);
  ASSERT_EQ(kestu_tools::DriverKeys().size(), 3u);
  for (size_t i = 0; i < table.size(); ++i) {
    const DriverKind& kind = table[i];
    const Row& row = expected[i];
    EXPECT_EQ(kind.key, row.key);
    EXPECT_EQ(kind.display_name, row.display_name);
    EXPECT_EQ(kind.notes_for_human, row.notes);
    EXPECT_EQ(kind.port_offset, row.port_offset);
    EXPECT_EQ(kind.published_tags, row.tags) << row.key;
    EXPECT_TRUE(kind.make_pipeline && kind.detection_line && kind.draw)
        << row.key;
    // The tools read the same rows.
    EXPECT_EQ(kestu_tools::DriverKeys()[i], row.key);
    EXPECT_EQ(kestu_tools::DriverPortOffset(row.key), row.port_offset);
    EXPECT_EQ(FindDriverKind(row.key), &kind);
  }
  // Keys are matched whole and case-sensitively.
  EXPECT_EQ(FindDriverKind("Face"), nullptr);
  EXPECT_EQ(FindDriverKind(""), nullptr);
  EXPECT_EQ(kestu_tools::DriverPortOffset("Crowd"), 0);
}

TEST(DriverTableTest, APipelineIsBuiltOnlyForAConfigurationWithModels) {
  KestuEyeConfig without_models;
  without_models.mutable_config();
  KestuEyeConfig with_models = without_models;
  with_models.add_models();
  for (const DriverKind& kind : DriverTable()) {
    EXPECT_EQ(kind.make_pipeline(without_models), nullptr) << kind.key;
    EXPECT_NE(kind.make_pipeline(with_models), nullptr) << kind.key;
  }
}

}  // namespace
}  // namespace vostek_kestu
