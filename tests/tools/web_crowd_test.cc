// kestu-web and kestu-recount with the crowd driver on the bundled people
// clip (frames 0-279 of vtest.avi: six people cross the walkway line, see
// the drivers' end-to-end test): what kestu-web counts and streams matches
// what the driver publishes, a headless browser shows the page, and a
// recording recounted with its own zones gives the counts published live.
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <opencv2/imgcodecs.hpp>

#include "kestu_tools.pb.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/tools/web_crowd_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/recount/recounter.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

constexpr int kCrowdOffset = 9;

// Sum of the samples of a metric whose lines contain every given label.
double MetricSum(const std::string& metrics, const std::string& name,
                 const std::vector<std::string>& labels) {
  double sum = 0.0;
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + "{", 0) != 0) continue;
    bool all = true;
    for (const std::string& label : labels) {
      all = all && line.find(label) != std::string::npos;
    }
    if (all) sum += std::stod(line.substr(line.rfind(' ') + 1));
  }
  return sum;
}

// Reads multipart JPEG parts from an MJPEG stream on its own thread.
class MjpegReader {
 public:
  MjpegReader(int port, const std::string& path) {
    thread_ = std::thread([this, port, path] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(5, 0);
      client.Get(path.c_str(), [this](const char* data, size_t length) {
        buffer_.append(data, length);
        TakeParts();
        return !stop_;
      });
    });
  }
  ~MjpegReader() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> parts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parts_;
  }

 private:
  // A part: boundary line, headers with Content-Length, a blank line, the
  // JPEG bytes.
  void TakeParts() {
    while (true) {
      const size_t length_at = buffer_.find("Content-Length: ");
      const size_t body_at = buffer_.find("\r\n\r\n", length_at);
      if (length_at == std::string::npos || body_at == std::string::npos)
        return;
      const size_t length = std::stoul(buffer_.substr(length_at + 16));
      if (buffer_.size() < body_at + 4 + length) return;
      std::lock_guard<std::mutex> lock(mutex_);
      parts_.push_back(buffer_.substr(body_at + 4, length));
      buffer_.erase(0, body_at + 4 + length);
    }
  }

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::string buffer_;
  std::mutex mutex_;  // guards parts_
  std::vector<std::string> parts_;
};

// Collects the data lines of /events on its own thread.
class EventReader {
 public:
  explicit EventReader(int port) {
    thread_ = std::thread([this, port] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(20, 0);
      client.Get("/events", [this](const char* data, size_t length) {
        buffer_.append(data, length);
        for (size_t end = buffer_.find("\n\n"); end != std::string::npos;
             end = buffer_.find("\n\n")) {
          const std::string entry = buffer_.substr(0, end);
          buffer_.erase(0, end + 2);
          const size_t data_at = entry.find("data: ");
          if (data_at == std::string::npos) continue;
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back(entry.substr(data_at + 6));
        }
        return !stop_;
      });
    });
  }
  ~EventReader() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::string buffer_;
  std::mutex mutex_;  // guards events_
  std::vector<std::string> events_;
};

TEST(WebCrowdTest, CountsStreamsAndEventsMatchWhatTheDriverPublished) {
  const int base = PortBlock(460);
  VisionProcess process(base);
  WebProcess web(PortBlock(461), {Address(base)});
  ASSERT_TRUE(process.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);
  ASSERT_TRUE(PollUntil(
      [&] { return GetState(client).processes(0).reachable(); }, kWait));
  zmq::context_t context(1);
  Subscriber data(context, Endpoint("127.0.0.1", base + kCrowdOffset + 3),
                  kWait);
  ASSERT_TRUE(data.connected());

  // A bad configuration first: the driver's own error comes back.
  DriverConfig broken = CrowdConfig("bad");
  broken.mutable_kestu_eye_config()
      ->mutable_models(0)
      ->mutable_properties()
      ->erase("engine");
  auto answer =
      Command(client, CommandJson(Address(base), "config", Text(broken)));
  ASSERT_TRUE(answer.has_status()) << answer.error();
  EXPECT_EQ(answer.status().type(), Status::STATUS_ERROR);
  EXPECT_EQ(answer.status().message(),
            "CHECK failed: it != end(): key not found: engine");

  answer =
      Command(client, CommandJson(Address(base), "action", "START_STREAMING"));
  ASSERT_TRUE(answer.has_status()) << answer.error();
  EXPECT_EQ(answer.status().type(), Status::COMMAND_EXECUTED);
  MjpegReader stream(web.port(), "/stream/" + Address(base) + "/crowd.mjpg");
  EventReader events(web.port());
  answer = Command(
      client, CommandJson(Address(base), "config", CrowdConfigText("walkway")));
  ASSERT_TRUE(answer.has_status()) << answer.error();
  EXPECT_EQ(answer.status().type(), Status::CONFIG_RECEIVED);
  ASSERT_TRUE(
      PollUntil([&] { return CrowdStopped(client); }, milliseconds(60000)));

  int exits = 0;
  while (auto bytes = data.Receive(milliseconds(500))) {
    VisionResult result;
    ASSERT_TRUE(result.ParseFromString(*bytes));
    for (const auto& event : result.vision_event()) {
      exits += event.tag() == v1::ZONE_EXIT ? 1 : 0;
    }
  }
  EXPECT_GE(exits, 5);  // the driver's own test pins the six crossings
  std::string metrics;
  ASSERT_TRUE(PollUntil(
      [&] {
        metrics = Get(client, "/metrics");
        return MetricSum(metrics, "kestu_events_total",
                         {"driver=\"crowd\"", "tag=\"ZONE_EXIT\""}) == exits;
      },
      kWait))
      << metrics;
  EXPECT_EQ(MetricSum(metrics, "kestu_results_total", {"driver=\"crowd\""}),
            exits);
  EXPECT_GT(
      MetricSum(metrics, "kestu_stream_frames_total", {"driver=\"crowd\""}),
      200);
  EXPECT_TRUE(PromtoolAccepts(metrics)) << metrics;

  const auto parts = stream.parts();
  ASSERT_GE(parts.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const cv::Mat image = cv::imdecode(
        std::vector<uchar>(parts[i].begin(), parts[i].end()), cv::IMREAD_COLOR);
    EXPECT_EQ(image.size(), cv::Size(768, 576)) << "part " << i;
  }

  int event_results = 0;
  for (const std::string& json : events.events()) {
    kestu::tools::WebEvent event;
    ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(json, &event).ok())
        << json;
    if (!event.has_result()) continue;
    ++event_results;
    EXPECT_EQ(event.driver(), "crowd");
    ASSERT_EQ(event.result().vision_event_size(), 1);
    EXPECT_EQ(event.result().vision_event(0).tag(), v1::ZONE_EXIT);
    EXPECT_EQ(event.result().rect_detection(0).tracking_id(),
              event.result().vision_event(0).tracking_id());
  }
  EXPECT_EQ(event_results, exits);
}

bool HaveChromium() {
  return std::system("command -v chromium >/dev/null") == 0;
}

TEST(WebCrowdTest, PageInAHeadlessBrowserShowsThePreviewAndEvents) {
  ASSERT_TRUE(HaveChromium())
      << "chromium is installed by scripts/install-deps";
  const int base = PortBlock(462);
  VisionProcess process(base);
  WebProcess web(PortBlock(463), {Address(base)});
  ASSERT_TRUE(process.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);
  const std::string page = "http://127.0.0.1:" + std::to_string(web.port());
  const std::string profile =
      ::testing::TempDir() + "kestu-chromium-" + std::to_string(getpid());
  const std::vector<std::string> browser_flags = {
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--user-data-dir=" + profile};
  std::vector<std::string> live = browser_flags;
  live.push_back(page + "/?report=1&driver=crowd");
  ChildProcess browser("/usr/bin/chromium", live);
  // The page runs and reports before anything streams.
  ASSERT_TRUE(PollUntil(
      [&] {
        return Get(client, "/api/browser-report").find("\"drivers\":3") !=
               std::string::npos;
      },
      kWait))
      << browser.Stderr();

  ASSERT_TRUE(
      Command(client, CommandJson(Address(base), "action", "START_STREAMING"))
          .has_status());
  ASSERT_TRUE(Command(client, CommandJson(Address(base), "config",
                                          CrowdConfigText("walkway")))
                  .has_status());
  kestu::tools::WebState state;
  std::string report;
  ASSERT_TRUE(PollUntil(
      [&] {
        report = Get(client, "/api/browser-report");
        return report.find("\"previewWidth\":768") != std::string::npos &&
               report.find("\"eventRows\":0") == std::string::npos;
      },
      milliseconds(60000)))
      << report;
  browser.Kill();

  // A screenshot of the still page, kept beside the build for a look.
  const std::string screenshot =
      std::string(KESTU_BINARY_DIR) + "/kestu-web-page.png";
  std::remove(screenshot.c_str());
  std::vector<std::string> still = browser_flags;
  still.insert(still.end(),
               {"--screenshot=" + screenshot, "--window-size=1400,1000",
                "--virtual-time-budget=4000", page + "/?still=1&driver=crowd"});
  ChildProcess shooter("/usr/bin/chromium", still);
  EXPECT_EQ(shooter.Wait(milliseconds(60000)), 0) << shooter.Stderr();
  struct stat info;
  EXPECT_EQ(stat(screenshot.c_str(), &info), 0);
  EXPECT_GT(info.st_size, 10000);
  std::system(("rm -rf " + profile).c_str());
}

TEST(RecountCrowdTest, RecordingRecountedWithItsZonesGivesTheLiveCounts) {
  const std::string dir =
      ::testing::TempDir() + "kestu-recount-" + std::to_string(getpid()) + "/";
  std::system(("mkdir -p " + dir).c_str());
  const std::string config = dir + "walkway.textproto";
  std::ofstream(config) << CrowdConfigText("record");
  const std::string detections = dir + "walkway.pb";
  const int base = PortBlock(464);
  VisionProcess recorder(base,
                         {"--standalone_mode", "--standalone_mode_driver=crowd",
                          "--configuration_proto=" + config,
                          "--record_detections_file=" + detections});
  ASSERT_EQ(recorder.child().Wait(milliseconds(120000)), 0)
      << recorder.child().Stderr();

  // What was published live: the exits recorded with the frames.
  VisionResultList recorded;
  std::string error;
  ASSERT_TRUE(LoadDetections(detections, &recorded, &error)) << error;
  std::map<std::string, int64_t> live;
  for (const auto& frame : recorded.vision_results()) {
    for (const auto& event : frame.vision_event()) {
      if (event.tag() == v1::ZONE_EXIT) {
        ++live[v1::ZoneDirection_Name(event.zone_direction())];
      }
    }
  }
  ASSERT_GE(live["FORWARD"] + live["BACKWARD"], 5);

  auto recount = [&](const std::string& zones) {
    ChildProcess child(KESTU_BINARY_DIR "/tools/kestu-recount",
                       {"--detections=" + detections, "--zones=" + zones,
                        "--forget_after=10", "--json"});
    EXPECT_EQ(child.Wait(milliseconds(30000)), 0) << child.Stderr();
    kestu::tools::RecountReport report;
    EXPECT_TRUE(
        google::protobuf::util::JsonStringToMessage(child.Stdout(), &report)
            .ok())
        << child.Stdout();
    return report;
  };
  const auto same = recount(config);
  ASSERT_EQ(same.zones_size(), 1);
  EXPECT_EQ(same.zones(0).forward(), live["FORWARD"]);
  EXPECT_EQ(same.zones(0).backward(), live["BACKWARD"]);
  EXPECT_EQ(same.frames(), recorded.vision_results_size());

  // The line moved to the top rows of the frame, where nobody walks.
  const std::string moved = dir + "moved.textproto";
  std::ofstream(moved) << R"pb(
    properties { key: "zones" value { array_value { values { entity_value {
      properties { key: "A" value { entity_value {
        properties { key: "x" value { integer_value: 0 } }
        properties { key: "y" value { integer_value: 8 } } } } }
      properties { key: "B" value { entity_value {
        properties { key: "x" value { integer_value: 767 } }
        properties { key: "y" value { integer_value: 8 } } } } }
      properties { key: "height" value { integer_value: 10 } } } } } } })pb";
  const auto elsewhere = recount(moved);
  ASSERT_EQ(elsewhere.zones_size(), 1);
  EXPECT_EQ(elsewhere.zones(0).forward() + elsewhere.zones(0).backward(), 0);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace kestu_tools
