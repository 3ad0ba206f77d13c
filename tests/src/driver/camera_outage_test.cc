// A driver and its live camera: a real RTSP server that goes away and comes
// back, and a server that takes the connection and never answers, while
// configurations and commands are answered.
#include <algorithm>

#include "tests/src/driver/driver_fixture.h"
#include "tests/testing/rtsp_camera.h"
#include "vision/video/live_gather.h"

namespace vostek_kestu {
namespace {

using kestu_testing::RtspCamera;
using kestu_testing::SilentPort;
using Clock = std::chrono::steady_clock;

std::string Command(const std::string& uuid, const std::string& action) {
  return "uuid: '" + uuid + "' kestu_eye_config { action: " + action + " }";
}

class CameraOutageTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    const std::string why = RtspCamera::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  std::string LiveConfig(const std::string& uuid, const std::string& url,
                         const std::string& extra = "") {
    return WithConfig(
        uuid, Prop("pipeline_mode", Str("ok")) + Prop("source", Str(url)) +
                  Prop("testing_mode", Bool(true)) +
                  Prop("enable_source_reconnection", Bool(true)) + extra);
  }

  // Takes the results still on their way, until none comes for a moment
  // (the camera is away).
  void DrainResults() {
    for (int i = 0; i < 100 && NextResult(milliseconds(300)); ++i) {
    }
  }

  // Whether a status of the type arrived; looks at those seen so far.
  bool Seen(Status::MessageType type) const {
    return std::any_of(seen_.begin(), seen_.end(),
                       [&](const Status& s) { return s.type() == type; });
  }
};

TEST_F(CameraOutageTest, EveryOutageIsReportedAndCountingResumes) {
  ASSERT_NO_FATAL_FAILURE(Start(320));
  RtspCamera camera(base_ + 16, ClipPath(), 0);
  ASSERT_TRUE(camera.Start()) << camera.Output();
  Send(LiveConfig("cfg", camera.url()));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  ASSERT_TRUE(Seen(Status::CAMERA_CONNECTED) ||
              WaitStatus(Status::CAMERA_CONNECTED));
  ASSERT_TRUE(NextResult());

  constexpr int kOutages = 5;
  for (int outage = 1; outage <= kOutages; ++outage) {
    SCOPED_TRACE("outage " + std::to_string(outage));
    camera.Stop();
    ASSERT_TRUE(WaitStatus(Status::CAMERA_DISCONNECTED));
    DrainResults();
    ASSERT_TRUE(camera.Start()) << camera.Output();
    const auto back = Clock::now();
    ASSERT_TRUE(WaitStatus(Status::CAMERA_CONNECTED));
    ASSERT_TRUE(NextResult());
    // Attempts come a second apart: the old settle and retry waits took
    // eight seconds and more. The bound leaves room for a loaded machine;
    // scripts/camera-outages measures the real figure.
    EXPECT_LT(Clock::now() - back, std::chrono::seconds(6));
  }
  const auto camera_state = driver_->Info().camera();
  EXPECT_TRUE(camera_state.connected());
  EXPECT_TRUE(camera_state.has_source());
  EXPECT_GT(camera_state.last_frame_ms(), camera_state.since_ms() - 1);
  EXPECT_EQ(camera_state.abandoned_captures(), 0);
}

TEST_F(CameraOutageTest, SilentServerIsReportedAndTheRealCameraTaken) {
  ASSERT_NO_FATAL_FAILURE(Start(321));
  SilentPort silent(base_ + 17);
  ASSERT_TRUE(silent.listening());
  const std::string silent_url = silent.url();
  Send(LiveConfig("cfg", silent_url,
                  Prop("capture_open_timeout_ms", Int(1500))));
  // The configuration is answered while the camera is still opening, and
  // the camera that never answers is reported, naming itself and the
  // stage.
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "cfg"));
  EXPECT_FALSE(Seen(Status::STATUS_ERROR));
  auto stuck = WaitStatus(Status::STATUS_ERROR);
  ASSERT_TRUE(stuck);
  EXPECT_NE(stuck->message().find(silent_url), std::string::npos)
      << stuck->message();
  EXPECT_NE(stuck->message().find("while opening"), std::string::npos)
      << stuck->message();
  EXPECT_TRUE(Seen(Status::CAMERA_DISCONNECTED) ||
              WaitStatus(Status::CAMERA_DISCONNECTED));
  // Commands are answered meanwhile.
  Send(Command("version", "GET_VERSION"));
  ASSERT_TRUE(WaitStatus(Status::COMMAND_EXECUTED, "version"));
  // FFmpeg keeps its own time-out: the open returned, nothing was given up.
  EXPECT_EQ(driver_->Info().camera().abandoned_captures(), 0);
  EXPECT_FALSE(driver_->Info().camera().connected());

  RtspCamera camera(base_ + 16, ClipPath(), 0);
  ASSERT_TRUE(camera.Start()) << camera.Output();
  Send(LiveConfig("real", camera.url(),
                  Prop("capture_open_timeout_ms", Int(5000))));
  ASSERT_TRUE(WaitStatus(Status::CONFIG_RECEIVED, "real"));
  ASSERT_TRUE(Seen(Status::CAMERA_CONNECTED) ||
              WaitStatus(Status::CAMERA_CONNECTED))
      << camera.Output();
  EXPECT_TRUE(NextResult());
  // Every capture given up ends once its own time-out passes: only the
  // real camera's reader is left.
  EXPECT_TRUE(PollUntil(
      [] { return talvenrook_vision::LiveGather::RunningReaders() <= 1; },
      kWait, milliseconds(50)))
      << talvenrook_vision::LiveGather::RunningReaders() << " readers run";
}

}  // namespace
}  // namespace vostek_kestu
