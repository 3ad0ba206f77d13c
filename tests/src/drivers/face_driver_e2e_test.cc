// The face driver end to end: a client configures it over real sockets with
// the real models; it reads the committed face clip (followed by black
// frames, so that the man's track ends) and publishes his TRACKING_START
// and TRACKING_END results, which it also logs in its one-line format. The
// SSD face network (in both modes of the driver) and the pico cascade find
// the same face. The SSD network's inferences run on the driver's own pool,
// whose threads end with the driver.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "src/drivers/driver_face.h"
#include "src/flags.h"
#include "tests/testing/test_util.h"
#include "tests/vision/face/face_test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

namespace v1 = ::talvenrook::vision::v1;
namespace ft = ::talvenrook_vision::face_testing;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using std::chrono::milliseconds;

constexpr milliseconds kWait(20000);

// The face clip re-encoded (MJPG) with 30 black frames after it.
std::string ClipWithExit() {
  // Leaked on purpose: the file is removed at exit, after the tests.
  static const std::string* const path = [] {
    auto* p = new std::string("/tmp/kestu-face-e2e-" +
                              std::to_string(getpid()) + ".avi");
    cv::VideoWriter writer(*p, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                           cv::Size(640, 480));
    for (size_t i = 0; i < 77; ++i) writer.write(ft::ClipFrame(i));
    const cv::Mat black(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int i = 0; i < 30; ++i) writer.write(black);
    return p;
  }();
  static const bool removed_at_exit =
      std::atexit([] { std::remove(path->c_str()); }) == 0;
  (void)removed_at_exit;
  return *path;
}

// Collects the driver's INFO lines that start with "Detection: {".
class DetectionLines : public google::LogSink {
 public:
  void send(google::LogSeverity severity, const char*, const char*, int,
            const struct ::tm*, const char* message, size_t length) override {
    const std::string line(message, length);
    if (severity != google::GLOG_INFO || line.rfind("Detection: {", 0) != 0)
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

// Threads of this process with that name (as /proc shows them).
int ThreadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator(
           "/proc/self/task",
           std::filesystem::directory_options::skip_permission_denied)) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

struct ClipRun {
  bool pico;
  bool async;
};

DriverConfig ClipConfiguration(const ClipRun& run) {
  const bool pico = run.pico;
  DriverConfig config;
  config.set_uuid(kestu_tools::NewUuid());
  KestuEyeConfig* eye = config.mutable_kestu_eye_config();
  Entity* c = eye->mutable_config();
  ft::Prop(c, "source").set_string_value(ClipWithExit());
  ft::Prop(c, "enable_source_reconnection").set_boolean_value(false);
  ft::Prop(c, "classification_box_scale").set_double_value(1.4);
  ft::Prop(c, "publish_entry_events").set_boolean_value(true);
  ft::Prop(c, "async_mode").set_boolean_value(run.async);
  if (pico) {
    ft::Prop(c, "detector_qcutoff").set_double_value(10.0);
    *eye->add_models() = ft::PicoModel();
  } else {
    // Faces at a desk are under 130 pixels; the skull print on the T-shirt
    // is not one.
    Entity ssd = ft::SsdFaceModel(0.7);
    ft::Prop(ft::SubMap(&ssd, "config"), "detector_max_scale")
        .set_integer_value(130);
    *eye->add_models() = ssd;
  }
  *eye->add_models() = ft::AlignModel();
  *eye->add_models() = ft::EmotionModel();
  *eye->add_models() = ft::FaceHeadModel(ft::DataPath("age_gender.pb"),
                                         "AGE_GENDER", {"female", "male"});
  return config;
}

class FaceDriverEndToEndTest : public ::testing::TestWithParam<ClipRun> {
 protected:
  void SetUp() override {
    FLAGS_testing_mode = false;
    FLAGS_replay_detections_file = "";
    FLAGS_record_detections_file = "";
    google::AddLogSink(&lines_);
  }
  void TearDown() override {
    stop_ = true;
    if (pinger_.joinable()) pinger_.join();
    driver_.reset();
    google::RemoveLogSink(&lines_);
  }

  void Start(int port_index) {
    base_ = PortBlock(port_index);
    driver_ = std::make_unique<Driver>(FaceDriver::Kind());
    driver_->SetSourceSleepFunction([](milliseconds d) {
      if (d < std::chrono::seconds(1)) std::this_thread::sleep_for(d);
    });
    ASSERT_TRUE(driver_->Init(base_, "127.0.0.1"));
    client_ = std::make_unique<kestu_tools::DriverClient>(context_, "127.0.0.1",
                                                          base_);
    status_ = std::make_unique<kestu_tools::Subscriber>(
        context_, client_->StatusEndpoint(), kWait);
    data_ = std::make_unique<kestu_tools::Subscriber>(
        context_, client_->DataEndpoint(), kWait);
    ASSERT_TRUE(status_->connected() && data_->connected());
    // Bytes that never parse get an error status: the subscription is in
    // place once one arrives.
    ASSERT_TRUE(PollUntil(
        [&] {
          client_->Push(std::string("\xff", 1), kWait);
          return kestu_tools::ReceiveStatus(*status_, milliseconds(50))
              .has_value();
        },
        kWait));
    pinger_ = std::thread([this] {
      kestu_tools::DriverClient pinger(context_, "127.0.0.1", base_);
      while (!stop_) {
        pinger.Ping(milliseconds(1000));
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
  }

  DetectionLines lines_;
  zmq::context_t context_{1};
  std::unique_ptr<Driver> driver_;
  int base_ = 0;
  std::unique_ptr<kestu_tools::DriverClient> client_;
  std::unique_ptr<kestu_tools::Subscriber> status_;
  std::unique_ptr<kestu_tools::Subscriber> data_;
  std::atomic<bool> stop_{false};
  std::thread pinger_;
};

bool HasTag(const v1::RectangularDetection& d,
            v1::EnumFacialRecognitionTag tag) {
  for (const auto& f : d.facial_recognition())
    if (f.tag() == tag) return true;
  return false;
}

TEST_P(FaceDriverEndToEndTest, TheManEntersAndLeavesWithHisAttributes) {
  const ClipRun run = GetParam();
  Start(400 + (run.pico ? 1 : 0) + (run.async ? 2 : 0));
  ASSERT_TRUE(client_->Push(ClipConfiguration(run), kWait));
  std::vector<VisionResult> published;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool ended = false;
  int inference_threads = 0;  // the most seen at once
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    inference_threads =
        std::max(inference_threads, ThreadsNamed("kestu-inference"));
    auto bytes = data_->Receive(milliseconds(500));
    if (!bytes) continue;
    VisionResult result;
    ASSERT_TRUE(result.ParseFromString(*bytes));
    published.push_back(result);
    ended = result.vision_event_size() == 1 &&
            result.vision_event(0).tag() == v1::TRACKING_END;
  }
  ASSERT_TRUE(ended);
  // One track: entered, then left.
  ASSERT_EQ(published.size(), 2u);
  const VisionResult& start = published[0];
  const VisionResult& end = published[1];
  for (const VisionResult* r : {&start, &end}) {
    ASSERT_EQ(r->rect_detection_size(), 1);
    ASSERT_EQ(r->vision_event_size(), 1);
    EXPECT_EQ(r->rect_detection(0).tracking_id(),
              r->vision_event(0).tracking_id());
    EXPECT_EQ(r->rect_detection(0).type(), "face");
    EXPECT_EQ(r->uuid().size(), 36u);
  }
  EXPECT_EQ(start.vision_event(0).tag(), v1::TRACKING_START);
  EXPECT_EQ(start.vision_event(0).tracking_id(),
            end.vision_event(0).tracking_id());
  EXPECT_TRUE(HasTag(start.rect_detection(0), v1::HEAD_POSE));
  // The man's face, above the T-shirt.
  const auto& where = start.rect_detection(0).location();
  EXPECT_GT(where.x(), 230);
  EXPECT_LT(where.x(), 330);
  EXPECT_LT(where.y(), 150);
  const v1::RectangularDetection& last = end.rect_detection(0);
  for (auto tag : {v1::AGE, v1::GENDER, v1::EMOTION})
    EXPECT_TRUE(HasTag(last, tag)) << tag;
  for (const auto& f : last.facial_recognition()) {
    if (f.tag() == v1::GENDER) {
      EXPECT_EQ(f.gender(), v1::FacialRecognition::MALE);
    }
    if (f.tag() == v1::EMOTION) {
      EXPECT_EQ(f.emotion(), v1::FacialRecognition::NEUTRAL);
    }
    if (f.tag() == v1::AGE) {
      EXPECT_NEAR(f.age(), 30, 12);
    }
  }
  // About three seconds of clip time, most of it looking at the camera.
  EXPECT_GT(end.vision_event(0).session_time(), 2.0f);
  EXPECT_GT(end.vision_event(0).dwell_time(), 1.0f);

  const std::regex line(
      "Detection: \\{type: face, emotion: NEUTRAL, gender: MALE, age: [0-9]+, "
      "session time: [0-9.e+-]+, dwell time: [0-9.e+-]+, tracking id: " +
      std::to_string(end.vision_event(0).tracking_id()) +
      ", uuid: [0-9a-f-]{36}\\}");
  ASSERT_TRUE(PollUntil([&] { return lines_.lines().size() >= 2; }, kWait));
  EXPECT_TRUE(std::regex_match(lines_.lines()[1], line)) << lines_.lines()[1];

  // The SSD detector's inferences ran on the driver's pool, whose threads
  // end with the driver; the pico detector runs on the frame's thread.
  if (run.pico) {
    EXPECT_EQ(inference_threads, 0);
  } else {
    EXPECT_GT(inference_threads, 0);
  }
  driver_.reset();
  EXPECT_EQ(ThreadsNamed("kestu-inference"), 0);
}

INSTANTIATE_TEST_SUITE_P(Detectors, FaceDriverEndToEndTest,
                         ::testing::Values(ClipRun{false, false},
                                           ClipRun{false, true},
                                           ClipRun{true, false}),
                         [](const auto& info) {
                           return std::string(info.param.pico ? "Pico"
                                                              : "Ssd") +
                                  (info.param.async ? "Async" : "Sync");
                         });

}  // namespace
}  // namespace vostek_kestu
