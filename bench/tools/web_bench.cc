// kestu-web forwarding a streamed 1280 x 720 driver, against kestu-client
// stream receiving the same frames.
//
// A streaming channel in this process publishes 1280 x 720 JPEG results at
// 30 frames per second (a live camera's full rate), as a driver does while
// streaming is on. In turn (alternating, twice each):
//   web     kestu-web (a child process) subscribed to the channel, with one
//           MJPEG client in this process reading /stream/<p>/face.mjpg;
//   client  kestu-client stream --out /dev/shm/... (a child process).
// Reported: CPU time of the child per frame it handled (from /proc), the
// frames seen, and for kestu-web the time from a frame's arrival to its
// being written to the HTTP client (its own histogram, mean).
//
// Run: build/bench/tools/web_bench (2>/dev/null for a clean table).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "src/channels/streaming_manager.h"
#include "tests/testing/test_util.h"

namespace {

using kestu_testing::ChildProcess;
using std::chrono::milliseconds;

constexpr int kBase = 31000;  // process ports; the channel is on kBase - 1
constexpr int kHttpPort = 31080;
constexpr int kFrames = 150;  // 5 s at 30 fps
constexpr char kWeb[] = KESTU_BINARY_DIR "/tools/kestu-web";
constexpr char kClient[] = KESTU_BINARY_DIR "/tools/kestu-client";

// CPU seconds (user + system) a process has used.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)),
                   std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0.0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stol(field);
    if (i == 15) break;
  }
  return static_cast<double>(ticks) / sysconf(_SC_CLK_TCK);
}

// 30 distinct 1280 x 720 frames as results carrying their JPEG.
const std::vector<talvenrook::vision::v1::VisionResult>& Frames() {
  static const auto* frames = [] {
    auto* list = new std::vector<talvenrook::vision::v1::VisionResult>();
    for (int i = 0; i < 30; ++i) {
      cv::Mat image(720, 1280, CV_8UC3, cv::Scalar(40 + i * 5, 90, 160));
      cv::randn(image, cv::Scalar(100, 110, 120), cv::Scalar(30, 30, 30));
      cv::putText(image, std::to_string(i), {500, 400},
                  cv::FONT_HERSHEY_SIMPLEX, 6, {255, 255, 255}, 12);
      std::vector<uchar> jpeg;
      cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
      talvenrook::vision::v1::VisionResult result;
      result.mutable_result_image()->set_image(jpeg.data(), jpeg.size());
      result.mutable_result_image()->mutable_size()->set_width(1280);
      result.mutable_result_image()->mutable_size()->set_height(720);
      list->push_back(std::move(result));
    }
    return list;
  }();
  return *frames;
}

// Publishes kFrames frames at 30 per second.
void Publish(vostek_kestu::StreamingManager& channel) {
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < kFrames; ++i) {
    channel.Send(Frames()[i % Frames().size()]);
    next += milliseconds(33);
    std::this_thread::sleep_until(next);
  }
}

vostek_kestu::StreamingManager& Channel() {
  static auto* channel = [] {
    auto* c = new vostek_kestu::StreamingManager();
    c->Init(kBase - 1, "127.0.0.1");
    c->SetEnabled(true);
    return c;
  }();
  return *channel;
}

// The mean of kestu-web's forwarding histogram, in milliseconds.
double ForwardingMeanMs(httplib::Client& client) {
  const auto response = client.Get("/metrics");
  if (!response) return 0.0;
  double sum = 0.0, count = 0.0;
  std::istringstream lines(response->body);
  for (std::string line; std::getline(lines, line);) {
    const std::string sum_name = "kestu_web_stream_forwarding_seconds_sum ";
    const std::string count_name = "kestu_web_stream_forwarding_seconds_count ";
    if (line.rfind(sum_name, 0) == 0)
      sum = std::stod(line.substr(sum_name.size()));
    if (line.rfind(count_name, 0) == 0)
      count = std::stod(line.substr(count_name.size()));
  }
  return count > 0 ? sum / count * 1000.0 : 0.0;
}

struct Round {
  double cpu_ms_per_frame = 0.0;
  int frames = 0;
  double forwarding_ms = 0.0;
};

Round WebRound() {
  // No history: nothing is published but frames, and no file is left.
  ChildProcess web(
      kWeb,
      {"--http_port=" + std::to_string(kHttpPort), "--database=", "--process",
       "127.0.0.1:" + std::to_string(kBase) + "/" + std::to_string(kBase - 1)});
  web.WaitForStderr("kestu-web: serving", milliseconds(10000));
  httplib::Client client("127.0.0.1", kHttpPort);
  std::atomic<int> parts{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    httplib::Client stream("127.0.0.1", kHttpPort);
    stream.set_read_timeout(2, 0);
    // A boundary may be split between two reads: the tail of the previous
    // read is searched again with the next one.
    const std::string boundary = "--kestuframe";
    std::string tail;
    stream.Get("/stream/127.0.0.1:" + std::to_string(kBase) + "/face.mjpg",
               [&](const char* data, size_t length) {
                 const std::string chunk = tail + std::string(data, length);
                 for (size_t at = chunk.find(boundary); at != std::string::npos;
                      at = chunk.find(boundary, at + 1)) {
                   ++parts;
                 }
                 const size_t keep =
                     std::min(chunk.size(), boundary.size() - 1);
                 tail = chunk.substr(chunk.size() - keep);
                 return !done;
               });
  });
  // The subscription is in place once a warm-up frame got through.
  kestu_testing::PollUntil(
      [&] {
        Channel().Send(Frames()[0]);
        return parts > 0;
      },
      milliseconds(10000), milliseconds(100));
  const int before_parts = parts;
  const double before = CpuSeconds(web.pid());
  Publish(Channel());
  kestu_testing::PollUntil([&] { return parts - before_parts >= kFrames; },
                           milliseconds(2000));
  Round round;
  round.frames = parts - before_parts;
  round.cpu_ms_per_frame =
      (CpuSeconds(web.pid()) - before) * 1000.0 / std::max(1, round.frames);
  round.forwarding_ms = ForwardingMeanMs(client);

  done = true;
  web.Kill();
  reader.join();
  return round;
}

Round ClientRound() {
  const std::string dir =
      "/dev/shm/kestu-web-bench-" + std::to_string(getpid()) + "/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  ChildProcess client(
      kClient, {"stream", "--streaming_port=" + std::to_string(kBase - 1),
                "--out", dir});
  auto files = [&] {
    return static_cast<int>(
        std::distance(std::filesystem::directory_iterator(dir),
                      std::filesystem::directory_iterator()));
  };
  kestu_testing::PollUntil(
      [&] {
        Channel().Send(Frames()[0]);
        return files() > 0;
      },
      milliseconds(10000), milliseconds(100));
  const int before_files = files();
  const double before = CpuSeconds(client.pid());
  Publish(Channel());
  kestu_testing::PollUntil([&] { return files() - before_files >= kFrames; },
                           milliseconds(2000));
  Round round;
  round.frames = files() - before_files;
  round.cpu_ms_per_frame =
      (CpuSeconds(client.pid()) - before) * 1000.0 / std::max(1, round.frames);
  client.Kill();
  std::filesystem::remove_all(dir);
  return round;
}

void BM_StreamForwarding(benchmark::State& state) {
  Round web, client;
  int rounds = 0;
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      const Round w = WebRound();
      const Round c = ClientRound();
      web.cpu_ms_per_frame += w.cpu_ms_per_frame;
      web.frames += w.frames;
      web.forwarding_ms += w.forwarding_ms;
      client.cpu_ms_per_frame += c.cpu_ms_per_frame;
      client.frames += c.frames;
      ++rounds;
    }
  }
  state.counters["web_cpu_ms_per_frame"] = web.cpu_ms_per_frame / rounds;
  state.counters["client_cpu_ms_per_frame"] = client.cpu_ms_per_frame / rounds;
  state.counters["web_frames"] = static_cast<double>(web.frames) / rounds;
  state.counters["client_frames"] = static_cast<double>(client.frames) / rounds;
  state.counters["web_forwarding_ms"] = web.forwarding_ms / rounds;
  state.counters["frames_sent"] = kFrames;
}
BENCHMARK(BM_StreamForwarding)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
