// The driver benchmark's parts: the generated clip, the pipeline that does
// nothing, a driver that installs it, a counter of the results on the data
// port, and the three ways of reading the clip one batch at a time (a bare
// OpenCV loop, the synchronous frame step driven from the caller's thread,
// and the driver's own threads).
#ifndef BENCH_DRIVER_DRIVER_BENCH_LOOPS_H_
#define BENCH_DRIVER_DRIVER_BENCH_LOOPS_H_

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <glog/logging.h>
#include <google/protobuf/text_format.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <zmq.hpp>

#include "bench/paired.h"
#include "src/driver/driver.h"
#include "src/flags.h"

namespace vostek_kestu {
namespace driver_bench {

using kestu_bench::Clock;
using kestu_bench::Seconds;
using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

inline const cv::Size kFrameSize(1280, 720);
inline constexpr int kClipFrames = 200;
// One pass through the clip per batch, so every batch pays one reopen on
// both sides.
inline constexpr int kBatchFrames = 200;
inline constexpr int kChunkFrames = 20;
inline constexpr int kWarmupResults = 10;
inline constexpr int kFirstPort = 29100;  // below the kernel's ephemeral range
inline constexpr int kReceiveTimeoutMs = 10000;

inline std::string ScratchPrefix() {
  return "/tmp/kestu-driver-bench-" + std::to_string(getpid());
}

// 200 frames of a textured background that pans, with shapes that move
// across it and the frame number, so that no two frames are alike.
inline const std::string& ClipPath() {
  static const std::string path = [] {
    const std::string p = ScratchPrefix() + ".avi";
    cv::Mat noise(kFrameSize.height + 80, kFrameSize.width + 200, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 255);
    cv::Mat texture;
    cv::GaussianBlur(noise, texture, cv::Size(0, 0), 2.5);
    cv::VideoWriter writer(p, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                           kFrameSize);
    for (int i = 0; i < kClipFrames; ++i) {
      cv::Mat frame = texture(cv::Rect(i % 200, (i / 3) % 80, kFrameSize.width,
                                       kFrameSize.height))
                          .clone();
      cv::circle(frame, {40 + 6 * i, 200 + i}, 60, {30, 200, 240}, cv::FILLED);
      cv::rectangle(frame, cv::Rect(1100 - 5 * i, 400, 140, 220), {200, 60, 40},
                    cv::FILLED);
      cv::putText(frame, std::to_string(i), {80, 660}, cv::FONT_HERSHEY_SIMPLEX,
                  3, {255, 255, 255}, 5);
      writer.write(frame);
    }
    return p;
  }();
  return path;
}

// The pipeline that does nothing: one detection and the TRACKING_END event
// of the same track per frame.
class NoOpPipeline : public talvenrook_vision::VisionAnalytics {
 public:
  absl::Status Setup(const KestuEyeConfig& config) override {
    return absl::OkStatus();
  }
  std::unique_ptr<talvenrook_vision::FrameWork> Begin(const cv::Mat& frame,
                                                      bool ahead) override {
    return std::make_unique<talvenrook_vision::FrameWork>();
  }
  VisionResult Finish(std::unique_ptr<talvenrook_vision::FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override {
    return OneTrackEnd(frame);
  }

 private:
  VisionResult OneTrackEnd(const cv::Mat& frame) {
    const uint64_t id = ++tracks_;
    VisionResult result;
    auto* detection = result.add_rect_detection();
    detection->set_tracking_id(id);
    detection->mutable_location()->set_width(static_cast<float>(frame.cols));
    detection->mutable_location()->set_height(static_cast<float>(frame.rows));
    auto* event = result.add_vision_event();
    event->set_tag(talvenrook::vision::v1::TRACKING_END);
    event->set_tracking_id(id);
    return result;
  }

  std::atomic<uint64_t> tracks_{0};
};

// A driver whose configuration installs the no-op pipeline. No thread runs
// until StartDriverThreads; the capture side then runs the stand-alone loop
// (the configuration named by --configuration_proto, then grab, enqueue
// and, unless asynchronous, process) instead of waiting for pings.
inline DriverKind BenchKind() {
  DriverKind kind;
  kind.key = "bench";
  kind.display_name = "Bench Driver";
  kind.published_tags = {talvenrook::vision::v1::TRACKING_END};
  kind.make_pipeline = [](const KestuEyeConfig&)
      -> std::unique_ptr<talvenrook_vision::VisionAnalytics> {
    return std::make_unique<NoOpPipeline>();
  };
  return kind;
}

class BenchDriver : public Driver {
 public:
  BenchDriver() : Driver(BenchKind(), nullptr, /*start_threads=*/false) {}
  ~BenchDriver() override { StopDriverThreads(); }

  void StartDriverThreads() {
    StartThreads(/*client_loop=*/false);
    standalone_ = std::thread([this] { RunStandalone(); });
  }
  void StopDriverThreads() {
    StopThreads();
    if (standalone_.joinable()) standalone_.join();
  }

 private:
  std::thread standalone_;
};

inline std::string Prop(const std::string& key, const std::string& value) {
  return "properties { key: \"" + key + "\" value { " + value + " } } ";
}

inline std::string ConfigText(bool async) {
  return "uuid: \"bench\" kestu_eye_config { config { " +
         Prop("source", "string_value: \"" + ClipPath() + "\"") +
         Prop("skip_frames", "boolean_value: false") +
         Prop("enable_source_reconnection", "boolean_value: true") +
         Prop("async_mode",
              async ? "boolean_value: true" : "boolean_value: false") +
         "} }";
}

inline DriverConfig ParseConfig(const std::string& text) {
  DriverConfig config;
  CHECK(google::protobuf::TextFormat::ParseFromString(text, &config)) << text;
  return config;
}

// The stand-alone loop reads its configuration from a file.
inline const std::string& ConfigFile(bool async) {
  static const std::string files[2] = {
      [] {
        const std::string p = ScratchPrefix() + "-sync.textproto";
        std::ofstream(p) << ConfigText(false);
        return p;
      }(),
      [] {
        const std::string p = ScratchPrefix() + "-async.textproto";
        std::ofstream(p) << ConfigText(true);
        return p;
      }()};
  return files[async ? 1 : 0];
}

// Sources get no seconds to settle; shorter waits are real.
inline void SkipSettling(std::chrono::milliseconds duration) {
  if (duration < std::chrono::seconds(1)) std::this_thread::sleep_for(duration);
}

inline int NextBasePort() {
  static int next = kFirstPort;
  const int port = next;
  next += 4;
  return port;
}

// A driver bound to its own four ports, or null when no port block worked.
inline std::unique_ptr<BenchDriver> MakeDriver() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto driver = std::make_unique<BenchDriver>();
    driver->SetSourceSleepFunction(SkipSettling);
    if (driver->Init(NextBasePort(), "127.0.0.1")) return driver;
  }
  return nullptr;
}

// A subscriber on a driver's data channel that counts what arrives.
class ResultCounter {
 public:
  explicit ResultCounter(int base_port)
      : context_(1), socket_(context_, zmq::socket_type::sub) {
    socket_.set(zmq::sockopt::rcvhwm, 0);  // never drops
    socket_.set(zmq::sockopt::subscribe, "");
    socket_.set(zmq::sockopt::rcvtimeo, kReceiveTimeoutMs);
    socket_.connect("tcp://127.0.0.1:" + std::to_string(base_port + 3));
  }

  // Waits for one message; false after the time-out.
  bool Receive() {
    zmq::message_t message;
    return socket_.recv(message, zmq::recv_flags::none).has_value();
  }

  // The next message, parsed; false after the time-out or when it is not
  // one detection with one TRACKING_END event of the same track.
  bool ReceiveOneTrackEnd() {
    zmq::message_t message;
    if (!socket_.recv(message, zmq::recv_flags::none)) return false;
    VisionResult result;
    return result.ParseFromArray(message.data(),
                                 static_cast<int>(message.size())) &&
           result.rect_detection_size() == 1 &&
           result.vision_event_size() == 1 &&
           result.vision_event(0).tag() ==
               talvenrook::vision::v1::TRACKING_END &&
           result.vision_event(0).tracking_id() ==
               result.rect_detection(0).tracking_id();
  }

  void SetTimeout(int milliseconds) {
    socket_.set(zmq::sockopt::rcvtimeo, milliseconds);
  }

  // Throws away what arrives until nothing has for 50 ms.
  void Drain() {
    SetTimeout(50);
    while (Receive()) {
    }
    SetTimeout(kReceiveTimeoutMs);
  }

 private:
  zmq::context_t context_;
  zmq::socket_t socket_;
};

// ---------------------------------------------------------------------------
// The three ways of reading the clip, each one batch at a time.

class BareLoop {
 public:
  bool Open() { return capture_.open(ClipPath(), cv::CAP_ANY); }

  // Seconds for the frames; negative when a read fails.
  double RunBatch(int frames = kBatchFrames) {
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
      if (!capture_.read(frame_)) {
        if (!Open() || !capture_.read(frame_)) return -1.0;
      }
      benchmark::DoNotOptimize(frame_.data);
    }
    return Seconds(Clock::now() - start);
  }

 private:
  cv::VideoCapture capture_;
  cv::Mat frame_;
};

// The synchronous frame step driven from this thread.
class DirectLoop {
 public:
  // Empty when it works, otherwise what went wrong.
  std::string Open() {
    driver_ = MakeDriver();
    if (!driver_) return "no free port block for the driver";
    counter_ = std::make_unique<ResultCounter>(driver_->base_port());
    driver_->Configure(ParseConfig(ConfigText(false)));
    if (!driver_->HasPipeline()) return "the pipeline was not installed";
    // Frames until the subscription is in place, then a clean start.
    counter_->SetTimeout(20);
    bool received = false;
    for (int i = 0; i < 500 && !received; ++i) {
      if (!Step()) return "ProcessNextFrame failed";
      received = counter_->ReceiveOneTrackEnd();
    }
    counter_->SetTimeout(kReceiveTimeoutMs);
    if (!received) return "no result reached the data port";
    counter_->Drain();
    return "";
  }

  // Seconds for the frames and their results; negative on failure.
  double RunBatch(int frames = kBatchFrames) {
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
      if (!Step()) return -1.0;
    }
    for (int i = 0; i < frames; ++i) {
      if (!counter_->Receive()) return -1.0;
    }
    return Seconds(Clock::now() - start);
  }

 private:
  bool Step() { return driver_->ProcessNextFrame(); }

  std::unique_ptr<BenchDriver> driver_;
  std::unique_ptr<ResultCounter> counter_;
};

// The driver's own threads, started for each batch and stopped after it.
class ThreadedLoop {
 public:
  explicit ThreadedLoop(bool async) : async_(async) {}

  std::string Open() {
    driver_ = MakeDriver();
    if (!driver_) return "no free port block for the driver";
    counter_ = std::make_unique<ResultCounter>(driver_->base_port());
    // The subscription needs a moment to reach the publisher; the warm-up
    // results of every batch cover the rest.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return "";
  }

  // Seconds from the 10th result after start to kBatchFrames results
  // later; negative on failure.
  double RunBatch() {
    FLAGS_configuration_proto = ConfigFile(async_);
    driver_->StartDriverThreads();
    bool ok = counter_->ReceiveOneTrackEnd();
    for (int i = 1; ok && i < kWarmupResults; ++i) ok = counter_->Receive();
    const auto start = Clock::now();
    for (int i = 0; ok && i < kBatchFrames; ++i) ok = counter_->Receive();
    const double seconds = Seconds(Clock::now() - start);
    driver_->StopDriverThreads();
    counter_->Drain();
    return ok ? seconds : -1.0;
  }

 private:
  bool async_;
  std::unique_ptr<BenchDriver> driver_;
  std::unique_ptr<ResultCounter> counter_;
};

}  // namespace driver_bench
}  // namespace vostek_kestu

#endif  // BENCH_DRIVER_DRIVER_BENCH_LOOPS_H_
