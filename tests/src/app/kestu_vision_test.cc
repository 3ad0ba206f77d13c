// The kestu-vision process as a client meets it: started with flags, queried
// and configured over real sockets.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace {

using kestu_testing::ChildProcess;
using kestu_testing::PortBlock;
using kestu_tools::DriverClient;
using kestu_tools::QueryDriverInfo;
using std::chrono::milliseconds;

constexpr milliseconds kWait(10000);
constexpr char kBinary[] = KESTU_BINARY_DIR "/src/kestu-vision";

std::vector<std::string> PortFlags(int base, int streaming) {
  return {"--bind_port=" + std::to_string(base),
          "--streaming_port=" + std::to_string(streaming)};
}

std::vector<std::string> Plus(std::vector<std::string> a,
                              const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ProcessTest, ServesDriverInfoOnItsPortLayout) {
  const int base = PortBlock(30);
  ChildProcess process(kBinary, Plus(PortFlags(base, base + 15),
                                     {"--send_slow", "--use_movidius"}));
  zmq::context_t context(1);
  std::optional<kestu_tools::KestuDriverInfo> info;
  ASSERT_TRUE(kestu_testing::PollUntil(
      [&] {
        info = QueryDriverInfo(context, "127.0.0.1", base, milliseconds(200));
        return info.has_value();
      },
      kWait));
  ASSERT_EQ(info->info_size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(info->info(i).base_port(), base + 1 + 4 * i);
    EXPECT_EQ(info->info(i).delay_between_updates(), 1000);
    EXPECT_EQ(info->info(i).timeout_after_last_ping(), 5000);
  }
  EXPECT_EQ(info->info(0).driver_name(), "Face Driver");
  EXPECT_EQ(info->info(1).driver_name(), "VehicleDriver");
  EXPECT_EQ(info->info(2).driver_name(), "CrowdDriver");

  // Every driver answers pings on its keep-alive port.
  for (int offset : {1, 5, 9}) {
    DriverClient client(context, "127.0.0.1", base + offset);
    EXPECT_TRUE(client.Ping(kWait)) << offset;
  }
  const std::string err = process.Stderr();
  EXPECT_NE(err.find("*********************************\n"), std::string::npos);
  EXPECT_NE(err.find("TALVENROOK KESTU VISION - v2.9.1"), std::string::npos);
  EXPECT_NE(err.find("You can query specific driver info using port " +
                     std::to_string(base) + "."),
            std::string::npos);
  for (const auto& [name, port] :
       std::vector<std::pair<std::string, int>>{{"Face Driver", base + 1},
                                                {"VehicleDriver", base + 5},
                                                {"CrowdDriver", base + 9}}) {
    EXPECT_NE(err.find("Registered driver " + name + " with port " +
                       std::to_string(port) + ".\n"),
              std::string::npos)
        << err;
  }
  EXPECT_TRUE(process.Running());
}

TEST(ProcessTest, SecondProcessOnTheSamePortsExitsWithOneClearError) {
  const int base = PortBlock(31);
  ChildProcess first(kBinary, PortFlags(base, base + 15));
  ASSERT_TRUE(first.WaitForStderr("Registered driver CrowdDriver"));

  // Same streaming port: the first bind of start-up fails.
  ChildProcess same_streaming(kBinary, PortFlags(base, base + 15));
  EXPECT_EQ(same_streaming.Wait(kWait), 1);
  EXPECT_NE(same_streaming.Stderr().find(
                "Could not bind tcp://127.0.0.1:" + std::to_string(base + 15) +
                ": Address already in use"),
            std::string::npos)
      << same_streaming.Stderr();

  // Free streaming port, taken driver ports: a driver cannot register.
  ChildProcess same_drivers(kBinary, PortFlags(base, base + 16));
  EXPECT_EQ(same_drivers.Wait(kWait), 1);
  const std::string err = same_drivers.Stderr();
  EXPECT_NE(
      err.find("Could not bind tcp://127.0.0.1:" + std::to_string(base + 1)),
      std::string::npos)
      << err;
  EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
  EXPECT_TRUE(first.Running());
}

struct StandaloneCase {
  const char* name;
  int port_index;
  std::vector<std::string> flags;
  int exit_status;
  const char* stderr_text;  // expected in stderr; empty for none
};

void PrintTo(const StandaloneCase& c, std::ostream* os) { *os << c.name; }

class StandaloneTest : public ::testing::TestWithParam<StandaloneCase> {};

TEST_P(StandaloneTest, ExitStatus) {
  const StandaloneCase& c = GetParam();
  const int base = PortBlock(c.port_index);
  ChildProcess process(kBinary, Plus(PortFlags(base, base + 15), c.flags));
  EXPECT_EQ(process.Wait(kWait), c.exit_status) << process.Stderr();
  const std::string err = process.Stderr();
  if (*c.stderr_text) {
    EXPECT_NE(err.find(c.stderr_text), std::string::npos) << err;
  }
  // Stand-alone mode never serves driver information.
  EXPECT_EQ(err.find("terminate called"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StandaloneTest,
    ::testing::Values(
        // The driver name is compared exactly: nothing runs, status 0.
        StandaloneCase{"WrongCase",
                       32,
                       {"--standalone_mode", "--standalone_mode_driver=Face"},
                       0,
                       "Registered driver CrowdDriver"},
        StandaloneCase{"UnknownDriver",
                       33,
                       {"--standalone_mode", "--standalone_mode_driver=face "},
                       0,
                       ""},
        StandaloneCase{"NoConfiguration",
                       34,
                       {"--standalone_mode", "--standalone_mode_driver=crowd"},
                       1,
                       "Cannot proceed without configuration. Exiting..."},
        StandaloneCase{"UnreadableConfiguration",
                       35,
                       {"--standalone_mode", "--standalone_mode_driver=vehicle",
                        "--configuration_proto=/nonexistent/config.pb"},
                       1,
                       "Error trying to load configuration"}),
    [](const ::testing::TestParamInfo<StandaloneCase>& info) {
      return std::string(info.param.name);
    });

TEST(ProcessTest, StandaloneRunReadsItsConfigurationFile) {
  const int base = PortBlock(37);
  const std::string dir = "/tmp/kestu-standalone-" + std::to_string(base);
  mkdir(dir.c_str(), 0700);
  const std::vector<std::pair<std::string, std::string>> files = {
      {dir + "/good.textproto",
       "uuid: \"s-1\" kestu_eye_config { config { "
       "properties { key: \"max_fps\" value { "
       "integer_value: 5 } } } }"},
      {dir + "/bad.textproto", "uuid: 5 this is not text format"},
      {dir + "/bad.pb", std::string("\xff\xff\xff", 3)}};
  for (const auto& [path, text] : files) {
    std::ofstream(path, std::ios::binary) << text;
  }
  // Without a pipeline for its configuration the face driver has nothing to
  // run: it closes and the process ends with status 0.
  ChildProcess good(kBinary, Plus(PortFlags(base, base + 15),
                                  {"--standalone_mode",
                                   "--configuration_proto=" + files[0].first}));
  EXPECT_EQ(good.Wait(kWait), 0);
  EXPECT_NE(good.Stderr().find("Successfully load the configuration file"),
            std::string::npos);
  EXPECT_NE(good.Stderr().find("] Closing"), std::string::npos);
  for (size_t i = 1; i < files.size(); ++i) {
    ChildProcess bad(
        kBinary,
        Plus(PortFlags(base, base + 15),
             {"--standalone_mode", "--configuration_proto=" + files[i].first}));
    EXPECT_EQ(bad.Wait(kWait), 1) << files[i].first;
    EXPECT_NE(bad.Stderr().find("Error trying to load configuration"),
              std::string::npos);
  }
  for (const auto& file : files) std::remove(file.first.c_str());
  rmdir(dir.c_str());
}

TEST(ProcessTest, AlsologtostderrFalseKeepsLogLinesOffStderr) {
  const int base = PortBlock(36);
  ChildProcess process(
      kBinary, Plus(PortFlags(base, base + 15),
                    {"--alsologtostderr=false", "--log_dir=/tmp",
                     "--standalone_mode", "--standalone_mode_driver=none"}));
  EXPECT_EQ(process.Wait(kWait), 0);
  const std::string err = process.Stderr();
  EXPECT_EQ(err.find("TALVENROOK KESTU VISION"), std::string::npos) << err;
  // Lines written straight to standard error are not log lines.
  EXPECT_NE(err.find("Registered driver Face Driver"), std::string::npos);
}

TEST(ProcessTest, VersionFlag) {
  ChildProcess process(kBinary, {"--version"});
  EXPECT_EQ(process.Wait(kWait), 0);
  EXPECT_NE(process.Stdout().find("2.9.1"), std::string::npos);
}

}  // namespace
