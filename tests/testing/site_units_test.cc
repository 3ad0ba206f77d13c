// The site's units read as systemd would run them: the three units of
// deploy/systemd with the flag files of deploy/etc/kestu, the expansion
// rules on units of the test's own, and kestu-vision, kestu-web and
// kestu-mqtt started from their units' command lines.
#include "tests/testing/site_units.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/testing/test_util.h"
#include "tests/tools/mqtt_test_util.h"
#include "tools/driver_client.h"

namespace kestu_testing {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kWait(30000);
const std::string kSource = KESTU_SOURCE_DIR;
const std::string kBuild = KESTU_BINARY_DIR;

SiteUnitOptions SiteOptions(const std::string& state_root,
                            const std::string& instance = "") {
  return ShippedSiteOptions(state_root, instance);
}

// Where the tests that only read units put /var/lib/kestu (never made).
const std::string kUnmade = "/tmp/kestu-site-units-unmade";

// A folder of the test's own, standing for /var/lib/kestu.
class SiteFolder {
 public:
  explicit SiteFolder(int block)
      : path_("/tmp/kestu-site-units-" + std::to_string(PortBlock(block))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~SiteFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  SiteUnitOptions Options(const std::string& instance = "") const {
    return SiteOptions(path_, instance);
  }

 private:
  std::string path_;
};

bool Under(const std::string& path, const std::string& folder) {
  return path.rfind(folder + "/", 0) == 0;
}

struct ShippedUnit {
  std::string unit;
  std::string instance;
  std::string program;   // in the build
  std::string env_file;  // in deploy/etc/kestu
  std::string state;     // the state folder under /var/lib/kestu
  // Flags and their values, "@" standing for the state folder.
  std::vector<std::pair<std::string, std::string>> flags;
  // Flags naming what the program writes: under its state folder, the only
  // place the sandbox (ProtectSystem=strict) lets it write.
  std::vector<std::string> written;
  int processes;  // --process flags
};

void PrintTo(const ShippedUnit& c, std::ostream* out) { *out << c.unit; }

class ShippedUnitTest : public ::testing::TestWithParam<ShippedUnit> {};

TEST_P(ShippedUnitTest, ReadsAsSystemdRunsIt) {
  const ShippedUnit& c = GetParam();
  SiteUnit unit;
  std::string error;
  ASSERT_TRUE(ReadSiteUnit(SiteUnitPath(c.unit),
                           SiteOptions(kUnmade, c.instance), &unit, &error))
      << error;
  const std::string state = kUnmade + "/" + c.state;
  ASSERT_FALSE(unit.argv.empty());
  EXPECT_EQ(unit.argv[0], kBuild + "/" + c.program);
  EXPECT_TRUE(std::filesystem::exists(unit.argv[0])) << unit.argv[0];
  EXPECT_EQ(unit.user, "kestu");
  EXPECT_EQ(unit.group, "kestu");
  EXPECT_EQ(unit.working_directory, state);
  EXPECT_EQ(unit.state_directories, std::vector<std::string>{state});
  EXPECT_EQ(
      unit.environment_files,
      std::vector<std::string>{kSource + "/deploy/etc/kestu/" + c.env_file});
  for (const auto& [flag, expected] : c.flags) {
    std::string value = expected;
    if (value.rfind("@", 0) == 0) value = state + value.substr(1);
    EXPECT_EQ(SiteFlag(unit.argv, flag), value) << flag;
  }
  for (const std::string& flag : c.written) {
    const std::string path = SiteFlag(unit.argv, flag);
    EXPECT_TRUE(std::any_of(unit.state_directories.begin(),
                            unit.state_directories.end(),
                            [&](const std::string& dir) {
                              return path == dir || Under(path, dir);
                            }))
        << flag << "=" << path << " is in no StateDirectory= of the unit";
  }
  EXPECT_EQ(std::count_if(unit.argv.begin(), unit.argv.end(),
                          [](const std::string& a) {
                            return a == "--process" ||
                                   a.rfind("--process=", 0) == 0;
                          }),
            c.processes);
  // Every path mapped, every variable expanded.
  for (const std::string& arg : unit.argv) {
    const std::string value = arg.substr(arg.find('=') + 1);
    EXPECT_NE(value.rfind("/var/lib/kestu", 0), 0u) << arg;
    EXPECT_NE(value.rfind("/etc/kestu", 0), 0u) << arg;
    EXPECT_NE(value.rfind("/usr/local", 0), 0u) << arg;
    EXPECT_EQ(arg.find('$'), std::string::npos) << arg;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Deploy, ShippedUnitTest,
    ::testing::Values(ShippedUnit{"kestu-vision@.service",
                                  "entrance",
                                  "src/kestu-vision",
                                  "entrance.env",
                                  "entrance",
                                  {{"--bind_port", "60000"},
                                   {"--streaming_port", "59999"},
                                   {"--bind_scope", "0.0.0.0"},
                                   {"--volume", "@"},
                                   {"--state_dir", "@/state"}},
                                  {"--volume", "--state_dir"},
                                  0},
                      ShippedUnit{"kestu-web.service",
                                  "",
                                  "tools/kestu-web",
                                  "web.env",
                                  "web",
                                  {{"--process", "vision-a.site:60000"},
                                   {"--http_port", "8080"},
                                   {"--database", "@/kestu-web.sqlite"}},
                                  {"--database"},
                                  3},
                      ShippedUnit{
                          "kestu-mqtt.service",
                          "",
                          "tools/kestu-mqtt",
                          "mqtt.env",
                          "mqtt",
                          {{"--process", "entrance=vision-a.site:60000"},
                           {"--broker", "broker.site:1883"},
                           {"--password_file",
                            kSource + "/deploy/etc/kestu/mqtt.password"},
                           {"--state_file", "@/state"}},
                          {"--state_file"},
                          3}),
    [](const ::testing::TestParamInfo<ShippedUnit>& info) {
      std::string name = info.param.unit.substr(0, info.param.unit.find('.'));
      name.erase(std::remove_if(name.begin(), name.end(),
                                [](char c) { return !std::isalnum(c); }),
                 name.end());
      return name;
    });

TEST(SiteUnitsTest, TheTestsFlagsReplaceEveryOccurrence) {
  SiteUnitOptions options = SiteOptions(kUnmade);
  options.flags = {{"--process", {"site=127.0.0.1:21000"}},
                   {"--broker", {"127.0.0.1:21001"}},
                   {"--username", {}},
                   {"--password_file", {}},
                   {"--topic_prefix", {"/etc/kestu/not-a-path-to-map"}}};
  SiteUnit unit;
  std::string error;
  ASSERT_TRUE(
      ReadSiteUnit(SiteUnitPath("kestu-mqtt.service"), options, &unit, &error))
      << error;
  const std::vector<std::string> args(unit.argv.begin() + 1, unit.argv.end());
  EXPECT_EQ(std::count(args.begin(), args.end(), "--process"), 0);
  EXPECT_EQ(
      std::count(args.begin(), args.end(), "--process=site=127.0.0.1:21000"),
      1);
  for (const std::string& arg : args) {
    EXPECT_EQ(arg.find("vision-"), std::string::npos) << arg;
    EXPECT_NE(arg.rfind("--username", 0), 0u) << arg;
    EXPECT_NE(arg.rfind("--password_file", 0), 0u) << arg;
  }
  EXPECT_EQ(SiteFlag(unit.argv, "--broker"), "127.0.0.1:21001");
  // The test's values are taken as given; the unit's others stay.
  EXPECT_EQ(SiteFlag(unit.argv, "--topic_prefix"),
            "/etc/kestu/not-a-path-to-map");
  EXPECT_EQ(SiteFlag(unit.argv, "--metrics_port"), "8081");
  EXPECT_EQ(SiteFlag(unit.argv, "--state_file"), kUnmade + "/mqtt/state");
}

struct ExpansionCase {
  std::string name;
  std::string env;                // the environment file (none when empty)
  std::string exec;               // the [Service] lines
  std::vector<std::string> argv;  // empty: an error containing `error`
  std::string error;
};

TEST(SiteUnitsTest, ExpansionAsSystemdDoesIt) {
  const SiteFolder folder(560);
  const std::string dir = folder.path();
  const std::vector<ExpansionCase> cases = {
      // An environment file's quotes go when it is read: $F then splits
      // what they enclosed.
      {"split",
       "F=--a=1   --b \"two words\"\n",
       "ExecStart=/bin/p $F",
       {"/bin/p", "--a=1", "--b", "two", "words"},
       ""},
      {"braces keep one argument",
       "F=x y\n",
       "ExecStart=/bin/p --v=${F}",
       {"/bin/p", "--v=x y"},
       ""},
      {"quoted and continued",
       "# c\nF='a  b'\nG=\"q\"\n",
       "ExecStart=-/bin/p \"${F}\" \\\n  $G",
       {"/bin/p", "a  b", "q"},
       ""},
      {"instance and percent",
       "F=%i\n",
       "Environment=\"E=%i x\"\nExecStart=/bin/p %i ${E} 100%%",
       {"/bin/p", "site", "site x", "100%"},
       ""},
      {"an empty assignment resets",
       "",
       "ExecStart=/bin/old\nExecStart=\nEnvironment=E=1\nExecStart=/bin/p $E",
       {"/bin/p", "1"},
       ""},
      {"unset variable", "F=1\n", "ExecStart=/bin/p $G", {}, "$G"},
      {"unknown specifier", "", "ExecStart=/bin/p %Z", {}, "%Z"},
      {"no command", "F=1\n", "User=kestu", {}, "no ExecStart"},
      {"missing environment file",
       "",
       "EnvironmentFile=" + dir + "/absent.env\nExecStart=/bin/p",
       {},
       "absent.env"},
      {"optional environment file",
       "",
       "EnvironmentFile=-" + dir + "/absent.env\nExecStart=/bin/p",
       {"/bin/p"},
       ""},
  };
  for (const ExpansionCase& c : cases) {
    std::ofstream(dir + "/site.env") << c.env;
    std::ofstream(dir + "/t@.service")
        << "[Unit]\nDescription=ExecStart=/bin/ignored\n[Service]\n"
        << (c.env.empty() ? "" : "EnvironmentFile=" + dir + "/%i.env\n")
        << c.exec << "\n[Install]\nWantedBy=multi-user.target\n";
    SiteUnitOptions options;
    options.instance = "site";
    SiteUnit unit;
    std::string error;
    const bool read = ReadSiteUnit(dir + "/t@.service", options, &unit, &error);
    if (c.argv.empty()) {
      EXPECT_FALSE(read) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos)
          << c.name << ": " << error;
    } else {
      EXPECT_TRUE(read) << c.name << ": " << error;
      EXPECT_EQ(unit.argv, c.argv) << c.name;
    }
  }
}

// kestu-vision@entrance and kestu-web started from their units' command
// lines, on the test's ports.
class SiteRunTest : public ::testing::Test {
 protected:
  // The site's folder on the ports of `block`, kestu-vision@entrance
  // running in it.
  void StartVision(int block) {
    folder_ = std::make_unique<SiteFolder>(block);
    const int base = PortBlock(block);
    SiteUnitOptions options = folder_->Options("entrance");
    options.flags = {{"--bind_port", {std::to_string(base)}},
                     {"--streaming_port", {std::to_string(base + 15)}},
                     {"--bind_scope", {"127.0.0.1"}}};
    SiteUnit unit;
    std::string error;
    ASSERT_TRUE(ReadSiteUnit(SiteUnitPath("kestu-vision@.service"), options,
                             &unit, &error))
        << error;
    ASSERT_TRUE(MakeSiteUnitDirectories(unit));
    vision_ = Start(unit);
    ASSERT_TRUE(PollUntil(
        [&] {
          return kestu_tools::QueryDriverInfo(context_, "127.0.0.1", base,
                                              milliseconds(500))
              .has_value();
        },
        kWait))
        << vision_->Stderr();
  }

  static std::unique_ptr<ChildProcess> Start(const SiteUnit& unit) {
    return std::make_unique<ChildProcess>(
        unit.argv[0],
        std::vector<std::string>(unit.argv.begin() + 1, unit.argv.end()));
  }

  // Removed after the process has ended.
  std::unique_ptr<SiteFolder> folder_;
  zmq::context_t context_;
  std::unique_ptr<ChildProcess> vision_;
};

TEST_F(SiteRunTest, VisionAndWebRunAsTheirUnitsSay) {
  const int base = PortBlock(562);
  StartVision(562);

  SiteUnitOptions options = folder_->Options();
  const std::string process = "127.0.0.1:" + std::to_string(base);
  options.flags = {{"--process", {process + "/" + std::to_string(base + 15)}},
                   {"--http_host", {"127.0.0.1"}},
                   {"--http_port", {std::to_string(base + 16)}}};
  SiteUnit unit;
  std::string error;
  ASSERT_TRUE(
      ReadSiteUnit(SiteUnitPath("kestu-web.service"), options, &unit, &error))
      << error;
  ASSERT_TRUE(MakeSiteUnitDirectories(unit));
  const std::unique_ptr<ChildProcess> web = Start(unit);
  httplib::Client client("127.0.0.1", base + 16);
  const std::string up = "kestu_process_up{process=\"" + process + "\"} 1";
  EXPECT_TRUE(PollUntil(
      [&] {
        const auto response = client.Get("/metrics");
        return response && response->body.find(up) != std::string::npos;
      },
      kWait))
      << web->Stderr();
  // The event history is where the unit's state folder is.
  EXPECT_TRUE(std::filesystem::exists(SiteFlag(unit.argv, "--database")));
  EXPECT_TRUE(
      Under(SiteFlag(unit.argv, "--database"), folder_->path() + "/web"));
}

TEST_F(SiteRunTest, MqttRunsAsItsUnitSays) {
  const std::string mqtt = kBuild + "/tools/kestu-mqtt";
  ChildProcess help(mqtt, {"--helpfull"});
  help.Wait(kWait);
  if (help.Stdout().find("state_file") == std::string::npos) {
    GTEST_SKIP() << "kestu-mqtt has no --state_file yet";
  }
  const int base = PortBlock(563);
  StartVision(563);
  kestu_tools::Broker broker(base + 17);
  ASSERT_TRUE(broker.Start()) << broker.Stderr();
  kestu_tools::MqttSubscriber subscriber(broker.port(), "kestu/#");
  ASSERT_TRUE(subscriber.Subscribed(kWait));

  SiteUnitOptions options = folder_->Options();
  options.flags = {
      {"--process", {"entrance=127.0.0.1:" + std::to_string(base)}},
      {"--broker", {broker.address()}},
      {"--username", {}},
      {"--password_file", {}},
      {"--metrics_port", {std::to_string(base + 18)}}};
  SiteUnit unit;
  std::string error;
  ASSERT_TRUE(
      ReadSiteUnit(SiteUnitPath("kestu-mqtt.service"), options, &unit, &error))
      << error;
  ASSERT_TRUE(MakeSiteUnitDirectories(unit));
  const std::unique_ptr<ChildProcess> process = Start(unit);
  EXPECT_TRUE(
      subscriber.WaitFor("kestu/entrance/availability", "online", kWait))
      << process->Stderr();
}

}  // namespace
}  // namespace kestu_testing
