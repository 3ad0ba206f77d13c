// What a configuration's set-up writes reaches the client who sent it as
// values, not by reading standard error back: with the library's standard
// error silenced, a crowd driver over real sockets still answers each bad
// configuration with its warnings and errors, in the order written and
// before the configuration's own answer, and counts the lines beyond 50.
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/drivers/driver_crowd.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/src/drivers/live_driver.h"

namespace vostek_kestu {
namespace {

using Entity = ::talvenrook::common::Entity;
using Value = ::talvenrook::common::Value;

Value& Key(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

Entity* Config(DriverConfig* config) {
  return config->mutable_kestu_eye_config()->mutable_config();
}

// Standard error in a failed state while the test runs: nothing written
// to it reaches any stream buffer, so nothing can be read back from it.
class SilencedStderr {
 public:
  SilencedStderr() { std::cerr.setstate(std::ios::badbit); }
  ~SilencedStderr() { std::cerr.clear(); }
};

struct NotesCase {
  const char* name;
  void (*change)(DriverConfig*);
  // The messages of the statuses before CONFIG_RECEIVED, in order.
  std::vector<std::string> messages;
};

std::vector<NotesCase> Cases() {
  return {
      {"ZoneWithoutB",
       [](DriverConfig* c) {
         Entity* zone = Key(Config(c), "zones")
                            .mutable_array_value()
                            ->mutable_values(0)
                            ->mutable_entity_value();
         zone->mutable_properties()->erase("B");
       },
       {"ERROR: Property B was not found", "ERROR: Zone definition error"}},
      {"UnknownLabelAndBadArea",
       [](DriverConfig* c) {
         Key(Config(c), "indexes_to_filter")
             .mutable_array_value()
             ->add_values()
             ->set_string_value("unicorn");
         Key(Config(c), "areas")
             .mutable_array_value()
             ->add_values()
             ->set_string_value("square");
       },
       {"WARNING: Label \"unicorn\" from indexes_to_filter not found",
        "WARNING: Area #1 is not a list of at least 3 points; it reports no "
        "event"}},
      {"SixtyBadAreas",
       [](DriverConfig* c) {
         auto* areas = Key(Config(c), "areas").mutable_array_value();
         for (int i = 0; i < 60; ++i)
           areas->add_values()->set_string_value("square");
       },
       {}},  // checked below: 50 lines, then the count of the rest
  };
}

TEST(SetupNotesE2ETest, WarningsAndErrorsReachTheClientWithStderrSilenced) {
  LiveDriver live(CrowdDriver::Kind(), 230);
  const DriverConfig sample = SampleConfig(
      "crowd_walkway.textproto", Excerpt(kPeopleClip, 0, 30, "notes-people"));
  SilencedStderr silenced;
  int n = 0;
  for (const NotesCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    DriverConfig config = sample;
    c.change(&config);
    config.set_uuid(std::string(c.name) + "-" + std::to_string(++n));
    live.Send(config);
    const std::vector<Status> statuses =
        live.StatusesUntil(Status::CONFIG_RECEIVED, config.uuid());
    ASSERT_FALSE(statuses.empty());
    ASSERT_EQ(statuses.back().type(), Status::CONFIG_RECEIVED);
    std::vector<std::string> notes;
    for (const Status& s : statuses) {
      if (s.type() == Status::STATUS_ERROR ||
          s.type() == Status::STATUS_WARNING) {
        notes.push_back(s.message());
        EXPECT_EQ(s.type() == Status::STATUS_ERROR,
                  s.message().rfind("ERROR: ", 0) == 0)
            << s.message();
      }
    }
    if (std::string(c.name) == "SixtyBadAreas") {
      ASSERT_EQ(notes.size(), 51u);
      for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(notes[i], "WARNING: Area #" + std::to_string(i + 1) +
                                " is not a list of at least 3 points; it "
                                "reports no event");
      }
      EXPECT_EQ(notes[50],
                "10 more ERROR and WARNING lines went to standard error only");
    } else {
      EXPECT_EQ(notes, c.messages);
    }
  }
}

}  // namespace
}  // namespace vostek_kestu
