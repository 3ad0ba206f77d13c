// The audit of the counts through kestu-web end to end: a process of real
// ZeroMQ sockets that counts on a line, whose streaming kestu-web turns on
// because snapshots are on; its crossings listed by /api/audit with their
// snapshots (none where no frame came), marked and completed with a missed
// pass, the figures as worked out by hand, and all of it again after a
// restart of kestu-web on the same history. Then the audit page in
// headless Chromium over a history of its own: it lists the crossings with
// their pictures, and a click on "wrong" is kept.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <zmq.hpp>

#include "tests/tools/audit_test_util.h"
#include "tests/tools/devtools_browser.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/audit_store.h"
#include "tools/web/event_recorder.h"
#include "tools/web/event_store.h"
#include "tools/web/snapshot_files.h"
#include "tools/web/snapshot_picture.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

using audit_test::Exit;
using audit_test::Frame;
using audit_test::ShowsBox;
using audit_test::TempPath;
using google::protobuf::Struct;
using google::protobuf::Value;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
namespace v1 = ::talvenrook::vision::v1;
namespace kestueye = ::talvenrook::kestu::v1::kestueye;

constexpr int kCrowd = 9;  // the crowd driver's base port offset

// A process whose crowd driver counts on the line "walkway" (configured,
// as its description says) and streams only once asked to: its
// information, the crowd driver's configuration, status and data ports,
// and the streaming port, on `base` as kestu-vision lays them out.
class CountingProcess {
 public:
  explicit CountingProcess(int base)
      : base_(base),
        info_(context_, zmq::socket_type::rep),
        config_(context_, zmq::socket_type::pull),
        data_(context_, zmq::socket_type::pub),
        streaming_(context_, zmq::socket_type::pub) {
    for (auto* socket : {&info_, &config_, &data_, &streaming_}) {
      socket->set(zmq::sockopt::linger, 0);
    }
    info_.bind(Endpoint("127.0.0.1", base));
    config_.bind(Endpoint("127.0.0.1", base + kCrowd));
    data_.bind(Endpoint("127.0.0.1", base + kCrowd + 3));
    streaming_.bind(Endpoint("127.0.0.1", base + 15));
    thread_ = std::thread([this] { Run(); });
  }
  ~CountingProcess() {
    stop_ = true;
    thread_.join();
  }
  // START_STREAMING requests the crowd driver took.
  int streaming_requests() const { return streaming_requests_; }
  // From the test's thread only.
  void Publish(const VisionResult& result) {
    const std::string bytes = result.SerializeAsString();
    data_.send(zmq::buffer(bytes), zmq::send_flags::none);
  }
  void Stream(const VisionResult& result) {
    const std::string bytes = result.SerializeAsString();
    std::lock_guard<std::mutex> lock(streaming_mutex_);
    streaming_.send(zmq::buffer(bytes), zmq::send_flags::none);
  }

 private:
  void Run() {
    auto next_frame = std::chrono::steady_clock::now();
    while (!stop_) {
      zmq::pollitem_t items[] = {{info_.handle(), 0, ZMQ_POLLIN, 0},
                                 {config_.handle(), 0, ZMQ_POLLIN, 0}};
      zmq::poll(items, 2, milliseconds(20));
      zmq::message_t message;
      if ((items[0].revents & ZMQ_POLLIN) &&
          info_.recv(message, zmq::recv_flags::dontwait)) {
        const std::string bytes = Info().SerializeAsString();
        info_.send(zmq::buffer(bytes), zmq::send_flags::none);
      }
      if ((items[1].revents & ZMQ_POLLIN) &&
          config_.recv(message, zmq::recv_flags::dontwait)) {
        DriverConfig config;
        if (config.ParseFromArray(message.data(), message.size()) &&
            config.kestu_eye_config().action() == kestueye::START_STREAMING) {
          ++streaming_requests_;
        }
      }
      // Streaming, an empty frame every 100 ms between the test's own.
      if (streaming_requests_ > 0 &&
          std::chrono::steady_clock::now() >= next_frame) {
        next_frame += milliseconds(100);
        Stream(Frame({}, 0));
      }
    }
  }

  KestuDriverInfo Info() const {
    KestuDriverInfo info;
    for (const std::string& key : DriverKeys()) {
      auto* driver = info.add_info();
      driver->set_driver_name(key);
      driver->set_base_port(base_ + DriverPortOffset(key));
      if (key != "crowd") continue;
      driver->set_configured(true);
      auto* zone = driver->add_zone();
      zone->set_name("walkway");
      zone->set_forward_name("in");
      zone->set_backward_name("out");
    }
    return info;
  }

  const int base_;
  zmq::context_t context_{1};
  zmq::socket_t info_;    // the thread's
  zmq::socket_t config_;  // the thread's
  zmq::socket_t data_;    // the test's
  std::mutex streaming_mutex_;
  zmq::socket_t streaming_;  // both, under the mutex
  std::atomic<bool> stop_{false};
  std::atomic<int> streaming_requests_{0};
  std::thread thread_;  // last: started once the rest is there
};

Struct JsonObject(const std::string& json) {
  Struct s;
  (void)google::protobuf::util::JsonStringToMessage(json, &s);
  return s;
}

const Value& At(const Struct& s, const std::string& key) {
  static const Value kNone;
  const auto it = s.fields().find(key);
  return it == s.fields().end() ? kNone : it->second;
}

// The status and body of a request.
std::pair<int, std::string> Send(httplib::Client& client,
                                 const std::string& method,
                                 const std::string& path,
                                 const std::string& body = "") {
  httplib::Result r = method == "POST"
                          ? client.Post(path.c_str(), body, "application/json")
                      : method == "DELETE" ? client.Delete(path.c_str())
                                           : client.Get(path.c_str());
  return r ? std::make_pair(r->status, r->body)
           : std::make_pair(0, std::string());
}

// The crossings of an /api/audit answer by tracking id.
std::map<int, Struct> CrossingsByTrack(const Struct& audit) {
  std::map<int, Struct> by_track;
  for (const Value& c : At(audit, "crossings").list_value().values()) {
    by_track[static_cast<int>(
        At(c.struct_value(), "trackingId").number_value())] = c.struct_value();
  }
  return by_track;
}

// The figures of an /api/audit answer for one direction of "walkway".
Struct Figures(const Struct& audit, const std::string& direction) {
  for (const Value& f : At(audit, "figures").list_value().values()) {
    if (At(f.struct_value(), "zone").string_value() == "walkway" &&
        At(f.struct_value(), "direction").string_value() == direction) {
      return f.struct_value();
    }
  }
  return Struct();
}

double Number(const Struct& s, const std::string& key,
              const std::string& part = "") {
  const Value& v = At(s, key);
  return part.empty() ? v.number_value()
                      : At(v.struct_value(), part).number_value();
}

TEST(WebAuditTest, CrossingsSnapshotsMarksAndTheCountErrorSurviveARestart) {
  const int base = PortBlock(140);
  const std::string database = TempPath("web.sqlite");
  const std::string snapshots = TempPath("web-snapshots");
  CountingProcess process(base);
  const std::vector<std::string> flags = {"--database=" + database,
                                          "--snapshot_days=1",
                                          "--snapshot_dir=" + snapshots};
  auto web = std::make_unique<WebProcess>(
      base + 17, std::vector<std::string>{Address(base)}, flags);
  ASSERT_TRUE(web->Started());
  httplib::Client client("127.0.0.1", web->port());
  client.set_read_timeout(10, 0);
  // Snapshots are on and the crowd driver counts: kestu-web asks it to
  // stream, and its frames come.
  ASSERT_TRUE(PollUntil([&] { return process.streaming_requests() > 0; }, kWait,
                        milliseconds(50)));
  // The data subscription is there once an empty result came through.
  ASSERT_TRUE(PollUntil(
      [&] {
        process.Publish(VisionResult());
        const auto state = GetState(client);
        return state.processes_size() == 1 &&
               state.processes(0).drivers(2).results() > 0;
      },
      kWait, milliseconds(100)));
  // The streamed frames go to the crowd driver, the one active.
  ASSERT_TRUE(PollUntil(
      [&] {
        return GetState(client).processes(0).drivers(2).stream_frames() > 0;
      },
      kWait, milliseconds(50)));

  const int64_t now = static_cast<int64_t>(EpochSeconds());
  const auto first = Exit(11, v1::FORWARD, now, 1);
  const auto second = Exit(12, v1::BACKWARD, now, 2);
  const auto third = Exit(13, v1::FORWARD, now, 3);  // its frame never comes
  const auto fourth = Exit(14, v1::FORWARD, now, 4);
  process.Publish(first);  // the event before its frame
  process.Stream(Frame({first}, 11));
  process.Stream(Frame({second}, 12));  // the frame before its event
  process.Publish(second);
  process.Publish(third);
  process.Publish(fourth);
  process.Stream(Frame({fourth}, 14));

  const std::string query = "/api/audit?process=" + Address(base) +
                            "&driver=crowd&from=" + std::to_string(now - 600) +
                            "&to=" + std::to_string(now + 600);
  Struct audit;
  std::map<int, Struct> crossings;
  ASSERT_TRUE(PollUntil(
      [&] {
        audit = JsonObject(Get(client, query));
        crossings = CrossingsByTrack(audit);
        int pictures = 0;
        for (const auto& [track, c] : crossings) {
          pictures += At(c, "snapshot").has_string_value() ? 1 : 0;
        }
        return crossings.size() == 4 && pictures == 3;
      },
      kWait, milliseconds(100)))
      << Get(client, query);
  EXPECT_EQ(At(crossings[11], "directionName").string_value(), "in");
  EXPECT_EQ(At(crossings[12], "directionName").string_value(), "out");
  EXPECT_TRUE(At(crossings[13], "snapshot").has_null_value());
  EXPECT_NE(At(crossings[13], "noSnapshot").string_value().find("no streamed"),
            std::string::npos);
  for (int track : {11, 12, 14}) {
    const std::string path = At(crossings[track], "snapshot").string_value();
    const auto [status, jpeg] = Send(client, "GET", path);
    ASSERT_EQ(status, 200) << path;
    EXPECT_TRUE(ShowsBox(jpeg, track)) << "track " << track;
  }
  // The main page's thumbnail of a published result, by its uuid.
  EXPECT_EQ(
      Send(client, "GET", "/snapshot-of/" + first.uuid() + "/0.jpg").second,
      Send(client, "GET", At(crossings[11], "snapshot").string_value()).second);
  EXPECT_EQ(
      Send(client, "GET", "/snapshot-of/" + third.uuid() + "/0.jpg").first,
      404);

  auto mark = [&](int track, const std::string& verdict) {
    return Send(client, "POST", "/api/audit/marks",
                "{\"id\": " +
                    std::to_string(
                        static_cast<int64_t>(Number(crossings[track], "id"))) +
                    ", \"verdict\": \"" + verdict + "\"}");
  };
  ASSERT_EQ(mark(11, "right").first, 200);
  ASSERT_EQ(mark(12, "right").first, 200);
  ASSERT_EQ(mark(13, "wrong").first, 200);
  const std::string missed = "{\"process\": \"" + Address(base) +
                             "\", \"driver\": \"crowd\", \"zone\": "
                             "\"walkway\", \"direction\": \"FORWARD\", "
                             "\"time\": " +
                             std::to_string(now) + ", \"note\": \"a pair\"}";
  const auto added = Send(client, "POST", "/api/audit/missed", missed);
  ASSERT_EQ(added.first, 200) << added.second;

  // Bad input: 400 with the reason; an unknown id 404.
  const std::pair<std::string, std::string> bad[] = {
      {"/api/audit/marks", "{\"id\": 1, \"verdict\": \"maybe\"}"},
      {"/api/audit/marks", "{\"id\": \"x\", \"verdict\": \"right\"}"},
      {"/api/audit/marks", "not json"},
      {"/api/audit/missed", "{\"process\": \"" + Address(base) +
                                "\", \"driver\": \"crowd\", \"zone\": "
                                "\"walkway\", \"direction\": \"UP\", "
                                "\"time\": 1}"},
      {"/api/audit/missed", "{\"process\": \"" + Address(base) +
                                "\", \"driver\": \"crowd\", \"zone\": "
                                "\"walkway\", \"direction\": \"FORWARD\", "
                                "\"time\": \"yesterday\"}"},
  };
  for (const auto& [path, body] : bad) {
    const auto [status, answer] = Send(client, "POST", path, body);
    EXPECT_EQ(status, 400) << body;
    EXPECT_FALSE(At(JsonObject(answer), "error").string_value().empty())
        << answer;
  }
  EXPECT_EQ(Send(client, "POST", "/api/audit/marks",
                 "{\"id\": 987654, \"verdict\": \"right\"}")
                .first,
            404);
  for (const std::string& path :
       {std::string("/api/audit?driver=crowd"), query + "&tz=Nowhere/Atlantis",
        "/api/audit?process=" + Address(base) + "&driver=crowd&from=" +
            std::to_string(now) + "&to=" + std::to_string(now - 1)}) {
    const auto [status, answer] = Send(client, "GET", path);
    EXPECT_EQ(status, 400) << path;
    EXPECT_FALSE(At(JsonObject(answer), "error").string_value().empty());
  }

  // Forward: 3 counted, 1 right, 1 wrong, 1 unaudited, 1 missed: the
  // unaudited one right at precision 1/2, so true = 1.5 + 1 and the error
  // 3 / 2.5 - 1. Backward: 1 counted, right.
  auto check = [&](const Struct& a) {
    const Struct forward = Figures(a, "FORWARD");
    EXPECT_EQ(Number(forward, "counted"), 3);
    EXPECT_EQ(Number(forward, "right"), 1);
    EXPECT_EQ(Number(forward, "wrong"), 1);
    EXPECT_EQ(Number(forward, "unaudited"), 1);
    EXPECT_EQ(Number(forward, "missed"), 1);
    EXPECT_EQ(At(forward, "directionName").string_value(), "in");
    EXPECT_DOUBLE_EQ(Number(forward, "true"), 2.5);
    EXPECT_DOUBLE_EQ(Number(forward, "precision", "value"), 0.5);
    EXPECT_NEAR(Number(forward, "countError", "value"), 0.2, 1e-12);
    const Struct backward = Figures(a, "BACKWARD");
    EXPECT_EQ(Number(backward, "counted"), 1);
    EXPECT_EQ(Number(backward, "right"), 1);
    EXPECT_EQ(Number(backward, "countError", "value"), 0);
    EXPECT_EQ(CrossingsByTrack(a).size(), 4u);
    EXPECT_EQ(At(a, "missed").list_value().values_size(), 1);
  };
  audit = JsonObject(Get(client, query));
  check(audit);

  // The live page: a thumbnail beside each exit with a snapshot, and the
  // way to the audit view.
  {
    DevToolsBrowser browser(::testing::TempDir() + "kestu-chromium-live-" +
                            std::to_string(getpid()));
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(web->port()) +
                             "/?driver=crowd&still=1"))
        << browser.Log();
    EXPECT_TRUE(PollUntil(
        [&] {
          return browser.Number(
                     "[...document.querySelectorAll('#events img.thumb')]"
                     ".filter((i) => !i.hidden && i.naturalWidth === 320)"
                     ".length") == 3;
        },
        kWait))
        << browser.Log();
    EXPECT_EQ(browser.String("new URL(document.getElementById('audit-link')"
                             ".href).pathname"),
              "/audit");
  }

  // kestu-web again, on the same history and folder.
  web.reset();
  web = std::make_unique<WebProcess>(
      base + 17, std::vector<std::string>{Address(base)}, flags);
  ASSERT_TRUE(web->Started());
  audit = JsonObject(Get(client, query));
  check(audit);
  crossings = CrossingsByTrack(audit);
  EXPECT_EQ(At(crossings[11], "mark").string_value(), "right");
  EXPECT_EQ(At(crossings[13], "mark").string_value(), "wrong");
  EXPECT_EQ(At(crossings[14], "mark").string_value(), "");
  const auto [status, jpeg] =
      Send(client, "GET", At(crossings[14], "snapshot").string_value());
  EXPECT_EQ(status, 200);
  EXPECT_TRUE(ShowsBox(jpeg, 14));
  // The last one marked: every crossing audited, the brief's own formulas.
  ASSERT_EQ(mark(14, "right").first, 200);
  const Struct forward = Figures(JsonObject(Get(client, query)), "FORWARD");
  EXPECT_DOUBLE_EQ(Number(forward, "true"), 3);
  EXPECT_NEAR(Number(forward, "precision", "value"), 2.0 / 3, 1e-12);
  EXPECT_NEAR(Number(forward, "recall", "value"), 2.0 / 3, 1e-12);
  EXPECT_NEAR(Number(forward, "countError", "value"), 0.0, 1e-12);
}

// Snapshots need the history they are filed under, and bounds that hold.
TEST(WebAuditTest, SnapshotSettingsThatCannotHoldEndKestuWeb) {
  const int base = PortBlock(143);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--database=", "--snapshot_days=3"}, "needs the history"},
      {{"--snapshot_days=3", "--snapshot_max_mb=0"}, "--snapshot_max_mb"},
      {{"--snapshot_days=-1"}, "--snapshot_days"},
  };
  for (const auto& [flags, reason] : cases) {
    WebProcess web(base + 17, {Address(base)}, flags);
    EXPECT_EQ(web.child().Wait(kWait), 1) << reason;
    EXPECT_NE(web.child().Stderr().find(reason), std::string::npos)
        << web.child().Stderr();
  }
}

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
};

// The element scrolled into view and its place in the viewport.
Rect ElementRect(DevToolsBrowser& browser, const std::string& selector) {
  const auto value = browser.Evaluate(
      "(() => { const e = document.querySelector('" + selector +
      "'); if (!e) return []; e.scrollIntoView({block: 'center'});"
      " const r = e.getBoundingClientRect();"
      " return [r.x, r.y, r.width, r.height]; })()");
  Rect rect;
  if (!value || value->list_value().values_size() != 4) return rect;
  const auto& v = value->list_value().values();
  rect = {v[0].number_value(), v[1].number_value(), v[2].number_value(),
          v[3].number_value()};
  return rect;
}

TEST(WebAuditTest, AuditPageListsTheCrossingsAndKeepsAClickedMark) {
  ASSERT_EQ(std::system("command -v chromium >/dev/null"), 0)
      << "chromium is installed by scripts/install-deps";
  const int base = PortBlock(141);
  const std::string database = TempPath("page.sqlite");
  const std::string snapshots = TempPath("page-snapshots");
  const std::string process = Address(base);
  const int64_t now = static_cast<int64_t>(EpochSeconds());
  // A history of three crossings, the first two with their snapshots.
  {
    EventStore store;
    std::string error;
    ASSERT_TRUE(store.Open(database, &error)) << error;
    std::vector<StoredEvent> rows;
    for (int i = 0; i < 3; ++i) {
      const auto exit = Exit(31 + i, i == 1 ? v1::BACKWARD : v1::FORWARD,
                             now - 900 + i * 60, 30 + i);
      for (auto& row : EventRows(process, "crowd", exit, now)) {
        rows.push_back(std::move(row));
      }
    }
    ASSERT_TRUE(store.Append(rows, {}, &error)) << error;
    AuditStore audit;
    ASSERT_TRUE(audit.Open(database, &error)) << error;
    std::vector<AuditCrossing> crossings;
    bool more = false;
    ASSERT_TRUE(audit.Crossings({process, "crowd", "", now - 3600.0, now + 0.0},
                                &crossings, &more, &error));
    ASSERT_EQ(crossings.size(), 3u);
    SnapshotFiles files(snapshots, 1, 1 << 20);
    ASSERT_TRUE(files.Open(&error)) << error;
    for (int i = 0; i < 2; ++i) {
      std::string jpeg;
      ASSERT_TRUE(DrawCrossing(
          audit_test::FrameJpeg(31 + i),
          Exit(31 + i, v1::FORWARD, 0, 0).rect_detection(0).location(), 1.0,
          320, &jpeg, &error));
      ASSERT_TRUE(files.Write(crossings[i].id, jpeg, &error)) << error;
    }
  }
  WebProcess web(base + 17, {process},
                 {"--database=" + database, "--snapshot_days=1",
                  "--snapshot_dir=" + snapshots});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());

  DevToolsBrowser browser(::testing::TempDir() + "kestu-chromium-audit-" +
                          std::to_string(getpid()));
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(web.port()) +
                           "/audit?process=" + process +
                           "&driver=crowd&from=" + std::to_string(now - 3600) +
                           "&to=" + std::to_string(now)))
      << browser.Log();
  ASSERT_TRUE(PollUntil(
      [&] {
        return browser.Number(
                   "document.querySelectorAll('#crossings "
                   "tr.crossing').length") == 3 &&
               browser.Number(
                   "[...document.querySelectorAll('img.snap')]"
                   ".filter((i) => i.naturalWidth === 320)"
                   ".length") == 2;
      },
      kWait))
      << browser.Log();
  EXPECT_EQ(browser.Number("document.querySelectorAll('td.no-snapshot')"
                           ".length"),
            1);
  EXPECT_NE(browser
                .String("document.querySelectorAll('#crossings tr.crossing')"
                        "[1].cells[2].textContent")
                .find("out"),
            std::string::npos);

  // A real click on the second crossing's "wrong".
  const Rect button =
      ElementRect(browser, "#crossings tr.crossing:nth-child(2) .mark-wrong");
  ASSERT_GT(button.width, 0);
  ASSERT_TRUE(
      browser.Click(button.x + button.width / 2, button.y + button.height / 2));
  const std::string query = "/api/audit?process=" + process +
                            "&driver=crowd&from=" + std::to_string(now - 3600) +
                            "&to=" + std::to_string(now);
  ASSERT_TRUE(PollUntil(
      [&] {
        auto crossings = CrossingsByTrack(JsonObject(Get(client, query)));
        return At(crossings[32], "mark").string_value() == "wrong";
      },
      kWait));
  // The page shows it, and the backward line's figures with it.
  EXPECT_TRUE(PollUntil(
      [&] {
        return browser.String(
                   "document.querySelectorAll('#crossings "
                   "tr.crossing')[1].className") == "crossing wrong";
      },
      kWait));
  EXPECT_TRUE(PollUntil(
      [&] {
        return browser
                   .String(
                       "[...document.querySelectorAll('#figures tr')]"
                       ".map((r) => r.textContent).join('|')")
                   .find("out (BACKWARD)1100") != std::string::npos;
      },
      kWait))
      << browser.String(
             "[...document.querySelectorAll('#figures tr')].map((r) => "
             "r.textContent).join('|')");
  const std::string screens =
      std::string(KESTU_BINARY_DIR) + "/kestu-web-screens/";
  std::system(("mkdir -p '" + screens + "'").c_str());
  browser.Screenshot(screens + "audit.png", 0, 0, 1200, 900);
}

}  // namespace
}  // namespace kestu_tools
