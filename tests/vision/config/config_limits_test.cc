// The size bounds of a configuration, at their edges.
#include "vision/config/config_limits.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

using ::talvenrook::common::Entity;
using ::talvenrook::common::Value;
using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

Value& Key(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

// A list of n points under "areas" (one area).
void Area(KestuEyeConfig* config, int n) {
  auto* area = Key(config->mutable_config(), "areas")
                   .mutable_array_value()
                   ->add_values()
                   ->mutable_array_value();
  for (int i = 0; i < n; ++i) {
    Entity* point = area->add_values()->mutable_entity_value();
    Key(point, "x").set_integer_value(i);
    Key(point, "y").set_integer_value(i);
  }
}

// Maps nested `depth` levels deep under "deep".
void Nested(KestuEyeConfig* config, int depth) {
  Entity* map = config->mutable_config();
  for (int i = 0; i < depth; ++i) map = Key(map, "deep").mutable_entity_value();
}

struct LimitCase {
  const char* name;
  std::function<void(KestuEyeConfig*)> build;
  std::string refusal;  // "" when accepted
};

TEST(ConfigLimitsTest, RefusesWhatIsTooLargeAndNamesIt) {
  const std::vector<LimitCase> cases = {
      {"ListAtTheLimit", [](KestuEyeConfig* c) { Area(c, kMaxListLength); },
       ""},
      {"ListOverTheLimit",
       [](KestuEyeConfig* c) { Area(c, kMaxListLength + 1); },
       "\"areas\" element #1 has 10001 elements (at most 10000)"},
      {"LongLabelsOfAModel",
       [](KestuEyeConfig* c) {
         Entity* content =
             Key(c->add_models(), "content").mutable_entity_value();
         auto* labels = Key(content, "labels").mutable_array_value();
         for (int i = 0; i <= kMaxListLength; ++i) labels->add_values();
       },
       "model #1 \"content\" \"labels\" has 10001 elements (at most 10000)"},
      {"ManyValuesInShortLists",
       [](KestuEyeConfig* c) {
         for (int i = 0; i < 25; ++i) Area(c, 3000);
       },
       "the configuration holds more than 200000 values"},
      {"NestedAtTheLimit", [](KestuEyeConfig* c) { Nested(c, kMaxDepth); }, ""},
      {"NestedTooDeep", [](KestuEyeConfig* c) { Nested(c, kMaxDepth + 1); },
       "is nested more than 32 levels deep"},
      // Bytes are not counted: models come as bytes.
      {"LargeBlob",
       [](KestuEyeConfig* c) {
         Entity* content =
             Key(c->add_models(), "content").mutable_entity_value();
         Key(content, "caffemodel").set_blob_value(std::string(1 << 22, 'x'));
       },
       ""},
  };
  for (const LimitCase& c : cases) {
    KestuEyeConfig config;
    c.build(&config);
    const absl::Status status = CheckConfigurationSize(config);
    if (c.refusal.empty()) {
      EXPECT_TRUE(status.ok()) << c.name << ": " << status.message();
    } else {
      EXPECT_FALSE(status.ok()) << c.name;
      EXPECT_NE(status.message().find(c.refusal), std::string::npos)
          << c.name << ": " << status.message();
    }
  }
}

}  // namespace
}  // namespace talvenrook_vision
