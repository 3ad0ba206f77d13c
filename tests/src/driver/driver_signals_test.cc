// The waits of a driver's threads end as soon as the driver stops, or as
// soon as their condition holds after a Notify; and the process-wide
// settings that one driver's configuration changes hold for every driver
// that shares them.
#include "src/driver/driver_signals.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "src/driver/driver.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PollUntil;
using std::chrono::milliseconds;

struct WaitCase {
  const char* name;
  bool stop;      // else the condition turns true
  bool expected;  // what WaitFor returns
};

class SignalsTest : public ::testing::TestWithParam<WaitCase> {};

TEST_P(SignalsTest, ALongWaitEndsAtOnce) {
  const WaitCase& c = GetParam();
  DriverSignals signals;
  std::atomic<bool> condition{false};
  std::atomic<bool> done{false};
  bool result = !c.expected;
  std::thread waiter([&] {
    result = signals.WaitFor(std::chrono::minutes(10),
                             [&] { return condition.load(); });
    done = true;
  });
  EXPECT_FALSE(PollUntil([&] { return done.load(); }, milliseconds(50)));
  if (c.stop) {
    signals.RequestStop();
  } else {
    condition = true;
    signals.Notify();
  }
  EXPECT_TRUE(PollUntil([&] { return done.load(); }, milliseconds(5000)));
  waiter.join();
  EXPECT_EQ(result, c.expected);
  // A stopped driver's waits return at once until it resumes; a wait whose
  // condition already holds returns at once too.
  if (c.stop) {
    EXPECT_FALSE(signals.WaitFor(std::chrono::minutes(10)));
  } else {
    EXPECT_TRUE(signals.WaitFor(std::chrono::minutes(10),
                                [&] { return condition.load(); }));
  }
}

INSTANTIATE_TEST_SUITE_P(Ends, SignalsTest,
                         ::testing::Values(WaitCase{"ByStop", true, false},
                                           WaitCase{"ByItsCondition", false,
                                                    true}),
                         [](const ::testing::TestParamInfo<WaitCase>& info) {
                           return info.param.name;
                         });

TEST(ProcessSettingsTest, OneDriversConfigurationSetsThemForEveryDriver) {
  auto settings = std::make_shared<ProcessSettings>(false, false, 240);
  DriverKind kind;
  kind.display_name = "Settings Driver";
  Driver first(kind, settings, /*start_threads=*/false);
  Driver second(kind, settings, /*start_threads=*/false);
  DriverConfig config;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(R"pb(
    kestu_eye_config { config {
      properties { key: "testing_mode" value { boolean_value: true } }
      properties { key: "show_gui" value { boolean_value: true } }
      properties { key: "detection_timeout" value { integer_value: 10 } } } })pb",
                                                            &config));
  first.Configure(config);
  EXPECT_TRUE(second.settings().testing_mode());
  EXPECT_TRUE(second.settings().show_gui());
  EXPECT_EQ(second.settings().detection_timeout(), 30);  // raised to 30
}

}  // namespace
}  // namespace vostek_kestu
