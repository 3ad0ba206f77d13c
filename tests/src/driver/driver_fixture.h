// The fixture of the driver-core tests: a test driver on its own ports, a
// client that keeps pinging it, subscribers on its status and data channels,
// and a small clip written with OpenCV.
#ifndef TESTS_SRC_DRIVER_DRIVER_FIXTURE_H_
#define TESTS_SRC_DRIVER_DRIVER_FIXTURE_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "src/flags.h"
#include "tests/src/driver/test_driver.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_tools::DriverClient;
using kestu_tools::ReceiveStatus;
using kestu_tools::Subscriber;
using std::chrono::milliseconds;

inline constexpr milliseconds kWait(20000);
inline constexpr int kClipFrames = 20;
inline const cv::Size kClipSize(320, 240);

// A 20-frame MJPG clip whose frames all differ.
inline std::string ClipPath() {
  static const std::string path = [] {
    static const std::string p =
        "/tmp/kestu-driver-test-" + std::to_string(getpid()) + ".avi";
    std::atexit([] { std::remove(p.c_str()); });  // one clip per process
    cv::VideoWriter writer(p, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                           kClipSize);
    for (int i = 0; i < kClipFrames; ++i) {
      cv::Mat frame(kClipSize, CV_8UC3, cv::Scalar(10 * i, 50, 200 - 5 * i));
      cv::putText(frame, std::to_string(i), {100, 150},
                  cv::FONT_HERSHEY_SIMPLEX, 3, {255, 255, 255}, 5);
      writer.write(frame);
    }
    return p;
  }();
  return path;
}

inline DriverConfig ConfigFromText(const std::string& text) {
  DriverConfig config;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &config))
      << text;
  return config;
}

// The configuration map of a DriverConfig from "key: value" property lines.
inline std::string WithConfig(const std::string& uuid,
                              const std::string& properties) {
  return "uuid: \"" + uuid + "\" kestu_eye_config { config { " + properties +
         " } }";
}

inline std::string Prop(const std::string& key, const std::string& value) {
  return "properties { key: \"" + key + "\" value { " + value + " } } ";
}

inline std::string Str(const std::string& s) {
  return "string_value: \"" + s + "\"";
}
inline std::string Int(int64_t v) {
  return "integer_value: " + std::to_string(v);
}
inline std::string Bool(bool b) {
  return b ? "boolean_value: true" : "boolean_value: false";
}

// A START_RECORDING command: two seconds at 10 fps (20 frames) of MJPG into
// `path`, with the analytics suspended while the file is written.
inline std::string SuspendingRecordingRequest(const std::string& uuid,
                                              const std::string& path) {
  return "uuid: '" + uuid +
         "' kestu_eye_config { action: START_RECORDING action_data { " +
         Prop("recording_options",
              "entity_value { " + Prop("duration", Int(2)) +
                  Prop("fps", Int(10)) + Prop("codec", Str("MJPG")) +
                  Prop("filename", Str(path)) +
                  Prop("allow_processing", Bool(false)) + " }") +
         " } }";
}

// Sources get no seconds to settle or before a retry; the short polls of a
// reader still wait for real.
inline void SkipSettling(std::chrono::milliseconds duration) {
  if (duration < std::chrono::seconds(1)) std::this_thread::sleep_for(duration);
}

inline void ResetFlags() {
  FLAGS_testing_mode = false;
  FLAGS_show_gui = false;
  FLAGS_send_text_proto = false;
  FLAGS_add_frames_to_proto = false;
  FLAGS_record_detections_file = "";
  FLAGS_replay_detections_file = "";
  FLAGS_detection_timeout = 240;
  FLAGS_step_mode = false;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFlags(); }
  void TearDown() override {
    stop_pinging_ = true;
    if (pinger_.joinable()) pinger_.join();
    driver_.reset();
    ResetFlags();
  }

  void Start(int port_index) {
    base_ = PortBlock(port_index);
    driver_ = std::make_unique<Driver>(TestDriverKind());
    driver_->SetSourceSleepFunction(SkipSettling);
    ASSERT_TRUE(driver_->Init(base_, "127.0.0.1"));
    client_ = std::make_unique<DriverClient>(context_, "127.0.0.1", base_);
    status_ = std::make_unique<Subscriber>(context_, client_->StatusEndpoint(),
                                           kWait);
    data_ =
        std::make_unique<Subscriber>(context_, client_->DataEndpoint(), kWait);
    ASSERT_TRUE(status_->connected() && data_->connected());
    // Bytes that never parse get an error status; once one arrives, the
    // status subscription is known to be in place.
    ASSERT_TRUE(PollUntil(
        [&] {
          client_->Push(std::string("\xff", 1), kWait);
          return ReceiveStatus(*status_, milliseconds(50)).has_value();
        },
        kWait));
    // A client keeps pinging while it wants the driver to run.
    pinger_ = std::thread([this] {
      DriverClient pinger(context_, "127.0.0.1", base_);
      while (!stop_pinging_) {
        pinger.Ping(milliseconds(1000));
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
  }

  void Send(const std::string& text) {
    ASSERT_TRUE(client_->Push(ConfigFromText(text), kWait));
  }

  // The first status matching the type (and uuid, when given); statuses of
  // other kinds are skipped.
  std::optional<Status> WaitStatus(Status::MessageType type,
                                   const std::string& uuid = "*",
                                   milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto status = ReceiveStatus(*status_, milliseconds(100));
      if (!status) continue;
      seen_.push_back(*status);
      if (status->type() == type && (uuid == "*" || status->uuid() == uuid)) {
        return status;
      }
    }
    return std::nullopt;
  }

  std::optional<VisionResult> NextResult(milliseconds timeout = kWait) {
    auto bytes = data_->Receive(timeout);
    if (!bytes) return std::nullopt;
    VisionResult result;
    if (!result.ParseFromString(*bytes)) return std::nullopt;
    return result;
  }

  // A pipeline on the test clip, processed once (no reconnection).
  std::string ClipConfig(const std::string& uuid, const std::string& extra) {
    return WithConfig(
        uuid, Prop("pipeline_mode", Str("ok")) +
                  Prop("source", Str(ClipPath())) +
                  Prop("enable_source_reconnection", Bool(false)) + extra);
  }

  zmq::context_t context_{1};
  std::unique_ptr<Driver> driver_;
  int base_ = 0;
  std::unique_ptr<DriverClient> client_;
  std::unique_ptr<Subscriber> status_;
  std::unique_ptr<Subscriber> data_;
  std::atomic<bool> stop_pinging_{false};
  std::thread pinger_;
  std::vector<Status> seen_;
};

}  // namespace vostek_kestu

#endif  // TESTS_SRC_DRIVER_DRIVER_FIXTURE_H_
