// A site that runs with nobody watching: kestu-vision with a state folder,
// fed by a real RTSP camera, configured once by a client that then goes
// away, killed and started again with no client at all.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tests/testing/journal_reader.h"
#include "tests/testing/rtsp_camera.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace {

using kestu_testing::ChildProcess;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_testing::RtspCamera;
using kestu_tools::DriverClient;
using kestu_tools::QueryDriverInfo;
using std::chrono::milliseconds;
using CameraState = ::talvenrook::kestu::v1::driver::CameraState;
using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;

constexpr milliseconds kWait(30000);
constexpr char kBinary[] = KESTU_BINARY_DIR "/src/kestu-vision";
constexpr int kCrowdOffset = 9;

std::string Source(const std::string& path) {
  return std::string(KESTU_SOURCE_DIR) + "/" + path;
}

void Copy(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
}

// The crowd sample reading `url`, with reconnection, without its
// recording, its model files copied into `models` (which the test may
// delete later).
kestu_tools::DriverConfig CameraConfig(const std::string& url,
                                       const std::string& models) {
  kestu_tools::DriverConfig config;
  std::ifstream in(Source("samples/crowd_walkway.textproto"));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(
      google::protobuf::TextFormat::ParseFromString(text.str(), &config));
  config.set_uuid("kept-config");
  auto* properties =
      config.mutable_kestu_eye_config()->mutable_config()->mutable_properties();
  (*properties)["source"].set_string_value(url);
  (*properties)["enable_source_reconnection"].set_boolean_value(true);
  properties->erase("recording_options");
  auto* walkway = (*properties)["zones"]
                      .mutable_array_value()
                      ->mutable_values(0)
                      ->mutable_entity_value()
                      ->mutable_properties();
  (*walkway)["forward_name"].set_string_value("in");
  (*walkway)["backward_name"].set_string_value("out");
  mkdir(models.c_str(), 0700);
  for (auto& model : *config.mutable_kestu_eye_config()->mutable_models()) {
    auto* content = (*model.mutable_properties())["content"]
                        .mutable_entity_value()
                        ->mutable_properties();
    for (const char* key : {"prototxt_file", "caffemodel_file"}) {
      auto& value = (*content)[key];
      const std::string copy =
          models + "/" + std::to_string(std::hash<std::string>()(key));
      Copy(Source(value.string_value()), copy);
      value.set_string_value(copy);
    }
    // A smaller input keeps the test light on two cores.
    auto* size = (*content)["input_size"].mutable_size_value();
    size->set_width(320);
    size->set_height(320);
  }
  return config;
}

class UnattendedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = RtspCamera::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    // A block of ports for each test: ctest runs them side by side.
    const std::string name =
        ::testing::UnitTest::GetInstance()->current_test_info()->name();
    base_ = PortBlock(name.rfind("Damaged", 0) == 0   ? 326
                      : name.rfind("Journal", 0) == 0 ? 327
                                                      : 325);
    folder_ = "/tmp/kestu-unattended-" + std::to_string(base_);
    std::system(("rm -rf " + folder_ + " && mkdir -p " + folder_).c_str());
    camera_ = std::make_unique<RtspCamera>(
        base_ + 18, "/usr/share/doc/opencv-doc/examples/data/vtest.avi", 0);
    ASSERT_TRUE(camera_->Start()) << camera_->Output();
  }
  void TearDown() override {
    process_.reset();
    camera_.reset();
    std::system(("rm -rf " + folder_).c_str());
  }

  void StartProcess() {
    process_ = std::make_unique<ChildProcess>(
        kBinary, std::vector<std::string>{
                     "--bind_port=" + std::to_string(base_),
                     "--streaming_port=" + std::to_string(base_ + 15),
                     "--state_dir=" + folder_ + "/state"});
    ASSERT_TRUE(PollUntil([&] { return Crowd().has_value(); }, kWait));
  }

  std::optional<DriverInfo> Crowd() {
    auto info =
        QueryDriverInfo(context_, "127.0.0.1", base_, milliseconds(500));
    if (!info) return std::nullopt;
    for (const auto& driver : info->info()) {
      if (driver.base_port() == base_ + kCrowdOffset) return driver;
    }
    return std::nullopt;
  }

  // Frames keep being read: the last frame's time passes `after`.
  bool ReadsFramesAfter(int64_t after_ms) {
    return PollUntil(
        [&] {
          auto crowd = Crowd();
          return crowd && crowd->camera().last_frame_ms() > after_ms;
        },
        kWait, milliseconds(100));
  }

  // A client configures the crowd driver, pinging while it does, and goes
  // away once the driver reads frames without it.
  void ConfigureAndLeave() {
    DriverClient client(context_, "127.0.0.1", base_ + kCrowdOffset);
    ASSERT_TRUE(client.Ping(kWait));
    ASSERT_TRUE(
        client.Push(CameraConfig(camera_->url(), folder_ + "/models"), kWait));
    ASSERT_TRUE(PollUntil(
        [&] {
          client.Ping(milliseconds(500));
          auto crowd = Crowd();
          return crowd && !crowd->needs_pings() &&
                 crowd->camera().last_frame_ms() > 0;
        },
        kWait, milliseconds(200)));
  }

  static int64_t NowMs() {
    return std::chrono::duration_cast<milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  int base_ = 0;
  std::string folder_;
  zmq::context_t context_{1};
  std::unique_ptr<RtspCamera> camera_;
  std::unique_ptr<ChildProcess> process_;
};

TEST_F(UnattendedTest, KeptConfigurationRunsWithoutAClientAcrossRestarts) {
  ASSERT_NO_FATAL_FAILURE(StartProcess());
  EXPECT_TRUE(Crowd()->needs_pings());
  EXPECT_FALSE(Crowd()->configured());
  EXPECT_EQ(Crowd()->zone_size(), 0);
  ASSERT_NO_FATAL_FAILURE(ConfigureAndLeave());
  // Longer than the ping time-out (5 s) after the client's last ping, the
  // driver still reads and counts.
  const int64_t client_gone = NowMs();
  ASSERT_TRUE(PollUntil([&] { return NowMs() > client_gone + 7000; },
                        milliseconds(10000), milliseconds(200)));
  EXPECT_TRUE(ReadsFramesAfter(NowMs()));
  EXPECT_EQ(process_->Stderr().find("Connectivity lost."), std::string::npos);

  // The model files it was given go away, and the process is killed: it
  // starts again on its own copies, with no client.
  std::system(("rm -rf " + folder_ + "/models").c_str());
  process_->Signal(SIGKILL);
  process_->Wait(kWait);
  ASSERT_NO_FATAL_FAILURE(StartProcess());
  const int64_t restarted = NowMs();
  EXPECT_TRUE(ReadsFramesAfter(restarted)) << process_->Stderr();
  // The kept configuration is in force, and its line is described with
  // the operator's names of its directions.
  const auto crowd = Crowd();
  ASSERT_TRUE(crowd.has_value());
  EXPECT_FALSE(crowd->needs_pings());
  EXPECT_TRUE(crowd->configured());
  ASSERT_EQ(crowd->zone_size(), 1);
  EXPECT_EQ(crowd->zone(0).name(), "Walkway");
  EXPECT_EQ(crowd->zone(0).forward_name(), "in");
  EXPECT_EQ(crowd->zone(0).backward_name(), "out");
  EXPECT_NE(process_->Stderr().find("Running the crowd driver's kept "
                                    "configuration"),
            std::string::npos);
}

TEST_F(UnattendedTest, DamagedKeptConfigurationIsReportedAndLeftInPlace) {
  const std::string kept = folder_ + "/state/crowd";
  std::system(("mkdir -p " + kept).c_str());
  {
    std::ofstream damaged(kept + "/configuration.pb", std::ios::binary);
    damaged << "\xff\xff not a configuration";
  }
  ASSERT_NO_FATAL_FAILURE(StartProcess());
  ASSERT_TRUE(process_->WaitForStderr("is damaged", kWait));
  auto crowd = Crowd();
  ASSERT_TRUE(crowd);
  EXPECT_TRUE(crowd->needs_pings());  // it waits for a client, as before
  EXPECT_EQ(crowd->camera().last_frame_ms(), 0);
  struct stat st;
  EXPECT_EQ(stat((kept + "/configuration.pb").c_str(), &st), 0);
}

// Every result the driver publishes is numbered and in its journal before
// it is sent; a kill loses none of them and the numbers go on.
TEST_F(UnattendedTest, JournalHoldsEveryPublishedResultAcrossAKill) {
  using VisionResult = ::talvenrook::vision::v1::VisionResult;
  ASSERT_NO_FATAL_FAILURE(StartProcess());
  ASSERT_NO_FATAL_FAILURE(ConfigureAndLeave());
  std::map<uint64_t, std::string> seen;  // number -> uuid, as published
  const auto listen_for = [&](size_t more) {
    kestu_tools::Subscriber data(
        context_, kestu_tools::Endpoint("127.0.0.1", base_ + kCrowdOffset + 3),
        kWait);
    ASSERT_TRUE(data.connected());
    const size_t wanted = seen.size() + more;
    ASSERT_TRUE(PollUntil(
        [&] {
          while (auto bytes = data.Receive(milliseconds(50))) {
            VisionResult result;
            if (!result.ParseFromString(*bytes)) continue;
            if (result.sequence() == 0) continue;  // a preview
            EXPECT_TRUE(seen.emplace(result.sequence(), result.uuid()).second)
                << "number " << result.sequence() << " published twice";
          }
          return seen.size() >= wanted;
        },
        std::chrono::seconds(90), milliseconds(10)))
        << seen.size() << " of " << wanted << " results";
  };
  ASSERT_NO_FATAL_FAILURE(listen_for(3));
  const uint64_t before_kill = seen.rbegin()->first;
  process_->Signal(SIGKILL);
  process_->Wait(kWait);
  ASSERT_NO_FATAL_FAILURE(StartProcess());
  ASSERT_NO_FATAL_FAILURE(listen_for(3));
  EXPECT_GT(seen.rbegin()->first, before_kill);

  kestu_testing::JournalReply position;
  const std::vector<VisionResult> held =
      kestu_testing::ReadWholeJournal(context_, base_ + 13, "crowd", &position);
  EXPECT_TRUE(position.error().empty()) << position.error();
  ASSERT_FALSE(held.empty());
  // One number after the other from 1, each published result among them
  // as it was sent.
  int64_t exits = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    ASSERT_EQ(held[i].sequence(), i + 1);
    for (const auto& event : held[i].vision_event()) {
      exits += event.tag() == ::talvenrook::vision::v1::ZONE_EXIT;
    }
  }
  for (const auto& [number, uuid] : seen) {
    ASSERT_LE(number, held.size());
    EXPECT_EQ(held[number - 1].uuid(), uuid) << "number " << number;
  }
  int64_t totals = 0;
  for (const auto& total : position.zone_total()) totals += total.count();
  EXPECT_EQ(totals, exits);
}

}  // namespace
