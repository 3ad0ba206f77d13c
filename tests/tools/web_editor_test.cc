// The operator's page in a real browser (headless Chromium over its
// debugging pipe) with the crowd driver on the people clip: the history
// chart draws bars, a line drawn with mouse events shows what it would have
// counted, "Apply" gives the driver the new zone; and a recording uploaded
// through the page recounts as kestu-recount does.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/tools/devtools_browser.h"
#include "tests/tools/web_crowd_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/zone_layout.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

constexpr int kCrowdData = 9 + 3;  // the crowd driver's data port offset
const std::string kScreens =
    std::string(KESTU_BINARY_DIR) + "/kestu-web-screens/";

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
};

Rect ElementRect(DevToolsBrowser& browser, const std::string& selector) {
  const auto value = browser.Evaluate(
      "(() => { const r = document.querySelector('" + selector +
      "').getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()");
  Rect rect;
  if (!value || value->list_value().values_size() != 4) return rect;
  const auto& v = value->list_value().values();
  rect = {v[0].number_value(), v[1].number_value(), v[2].number_value(),
          v[3].number_value()};
  return rect;
}

bool ClickOn(DevToolsBrowser& browser, const std::string& selector) {
  const Rect r = ElementRect(browser, selector);
  return r.width > 0 && browser.Click(r.x + r.width / 2, r.y + r.height / 2);
}

// Maps frame pixels to the browser's viewport through the editor's box and
// its viewBox (the frame's size).
class FrameToPage {
 public:
  explicit FrameToPage(DevToolsBrowser& browser)
      : box_(ElementRect(browser, "#editor")) {
    const auto view = browser.Evaluate(
        "document.getElementById('editor').getAttribute('viewBox').split(' "
        "').map(Number)");
    if (view && view->list_value().values_size() == 4) {
      width_ = view->list_value().values(2).number_value();
      height_ = view->list_value().values(3).number_value();
    }
  }
  double X(double x) const { return box_.x + x * box_.width / width_; }
  double Y(double y) const { return box_.y + y * box_.height / height_; }
  double scale() const { return box_.width / width_; }

 private:
  Rect box_;
  double width_ = 1, height_ = 1;
};

// Draws a counting line as a user does: "Draw line", A, B, then the band.
void DrawLine(DevToolsBrowser& browser, int ax, int ay, int bx, int by,
              int band_x, int band_y) {
  ASSERT_TRUE(ClickOn(browser, "#draw-line"));
  const FrameToPage at(browser);
  ASSERT_TRUE(browser.Click(at.X(ax), at.Y(ay)));
  ASSERT_TRUE(browser.MouseMove(at.X((ax + bx) / 2.0), at.Y((ay + by) / 2.0)));
  ASSERT_TRUE(browser.Click(at.X(bx), at.Y(by)));
  ASSERT_TRUE(browser.MouseMove(at.X(band_x), at.Y(band_y)));
  ASSERT_TRUE(browser.Click(at.X(band_x), at.Y(band_y)));
}

// The drawn line as the page lists it, in frame pixels.
kestu::tools::EditorLine ShownLine(DevToolsBrowser& browser, int index) {
  kestu::tools::EditorLine line;
  const auto value = browser.Evaluate(
      "JSON.stringify(document.querySelectorAll('#shapes .shape-line')[" +
      std::to_string(index) + "].dataset)");
  google::protobuf::Struct data;
  if (!value ||
      !google::protobuf::util::JsonStringToMessage(value->string_value(), &data)
           .ok()) {
    return line;
  }
  auto number = [&data](const char* key) {
    return std::atoi(data.fields().at(key).string_value().c_str());
  };
  line.set_name(data.fields().at("name").string_value());
  line.mutable_a()->set_x(number("ax"));
  line.mutable_a()->set_y(number("ay"));
  line.mutable_b()->set_x(number("bx"));
  line.mutable_b()->set_y(number("by"));
  line.set_height(number("height"));
  return line;
}

// "name forward backward" of the page's what-if rows.
std::string ShownCounts(DevToolsBrowser& browser) {
  return browser.String(
      "[...document.querySelectorAll('#whatif .whatif-line')].map((r) => "
      "r.dataset.zone + ' ' + "
      "r.dataset.forward + ' ' + r.dataset.backward).join(';')");
}

kestu::tools::WhatIfAnswer WhatIfOf(httplib::Client& client,
                                    const std::string& process,
                                    const std::string& source,
                                    const kestu::tools::ZoneLayout& layout,
                                    int forget_after) {
  kestu::tools::WhatIfRequest request;
  request.set_process(process);
  request.set_driver("crowd");
  request.set_source(source);
  *request.mutable_layout() = layout;
  request.set_forget_after(forget_after);
  std::string json;
  google::protobuf::util::MessageToJsonString(request, &json);
  kestu::tools::WhatIfAnswer answer;
  const auto response = client.Post("/api/whatif", json, "application/json");
  if (response)
    (void)google::protobuf::util::JsonStringToMessage(response->body, &answer);
  return answer;
}

std::string CountsText(const kestu::tools::ZoneLayout& layout,
                       const kestu::tools::RecountReport& report) {
  std::string text;
  for (int i = 0; i < report.zones_size(); ++i) {
    if (!text.empty()) text += ";";
    text += layout.lines(i).name() + " " +
            std::to_string(report.zones(i).forward()) + " " +
            std::to_string(report.zones(i).backward());
  }
  return text;
}

bool Near(const kestu::tools::FramePoint& p, int x, int y) {
  return std::abs(p.x() - x) <= 2 && std::abs(p.y() - y) <= 2;
}

std::string Profile(const std::string& name) {
  return ::testing::TempDir() + "kestu-chromium-" + name + "-" +
         std::to_string(getpid());
}

TEST(WebEditorTest, ChartWhatIfAndApplyWithTheCrowdDriver) {
  const int base = PortBlock(550);
  VisionProcess process(base);
  WebProcess web(base + 17, {Address(base)});
  ASSERT_TRUE(process.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);
  ASSERT_TRUE(PollUntil(
      [&] { return GetState(client).processes(0).reachable(); }, kWait));
  ASSERT_EQ(
      Command(client, CommandJson(Address(base), "action", "START_STREAMING"))
          .status()
          .type(),
      Status::COMMAND_EXECUTED);
  ASSERT_EQ(Command(client, CommandJson(Address(base), "config",
                                        CrowdConfigText("walkway")))
                .status()
                .type(),
            Status::CONFIG_RECEIVED);
  ASSERT_TRUE(
      PollUntil([&] { return CrowdStopped(client); }, milliseconds(60000)));

  DevToolsBrowser browser(Profile("editor"));
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(web.port()) +
                           "/?driver=crowd"))
      << browser.Log();
  // The run's exits are in the hour's bars; the sample's line lies over the
  // last frame, which the page shows smaller than the frame's 768 pixels.
  EXPECT_TRUE(PollUntil(
      [&] {
        return browser.Number(
                   "document.querySelectorAll('#chart-hours "
                   "rect.bar').length") > 0;
      },
      kWait));
  ASSERT_TRUE(PollUntil(
      [&] {
        return browser.Number(
                   "document.getElementById('preview').naturalWidth") == 768 &&
               browser.Number(
                   "document.querySelectorAll('#shapes .shape-line').length") ==
                   1;
      },
      kWait))
      << browser.Number("document.getElementById('preview').naturalWidth")
      << " " << browser.String("document.getElementById('shapes').textContent");
  EXPECT_LT(FrameToPage(browser).scale(), 0.99);

  // The sample's line selected by its band and deleted; a new one drawn in
  // its place.
  // (Clicked again until the page shows it selected: a click while the
  // page still lays the picture out may miss it.)
  ASSERT_TRUE(PollUntil(
      [&] {
        const FrameToPage at(browser);
        return browser.Click(at.X(320), at.Y(230)) &&
               browser.String("document.getElementById('shape-name').value") ==
                   "Walkway";
      },
      kWait))
      << browser.String("document.getElementById('shapes').textContent");
  ASSERT_TRUE(ClickOn(browser, "#delete-shape"));
  EXPECT_EQ(
      browser.Number("document.querySelectorAll('#shapes .shape-line').length"),
      0);
  DrawLine(browser, 320, 130, 320, 330, 340, 230);
  kestu::tools::ZoneLayout layout;
  *layout.add_lines() = ShownLine(browser, 0);
  EXPECT_TRUE(Near(layout.lines(0).a(), 320, 130)) << layout.DebugString();
  EXPECT_TRUE(Near(layout.lines(0).b(), 320, 330)) << layout.DebugString();
  EXPECT_NEAR(layout.lines(0).height(), 40, 4);
  // What the page shows is the recount of the line it drew, and people did
  // cross it.
  const auto expected = WhatIfOf(client, Address(base), "live", layout, 0);
  ASSERT_EQ(expected.report().zones_size(), 1) << expected.error();
  EXPECT_GE(expected.report().zones(0).forward() +
                expected.report().zones(0).backward(),
            1);
  EXPECT_TRUE(PollUntil(
      [&] {
        return ShownCounts(browser) == CountsText(layout, expected.report());
      },
      kWait))
      << ShownCounts(browser) << " vs "
      << CountsText(layout, expected.report());

  // Its end dragged down; its name typed.
  {
    const FrameToPage at(browser);
    ASSERT_TRUE(browser.MouseMove(at.X(320), at.Y(330)));
    ASSERT_TRUE(browser.MouseDown(at.X(320), at.Y(330)));
    ASSERT_TRUE(browser.MouseMove(at.X(330), at.Y(345), true));
    ASSERT_TRUE(browser.MouseMove(at.X(340), at.Y(360), true));
    ASSERT_TRUE(browser.MouseUp(at.X(340), at.Y(360)));
  }
  ASSERT_TRUE(ClickOn(browser, "#shape-name"));
  browser.Evaluate("document.getElementById('shape-name').select()");
  ASSERT_TRUE(browser.InsertText("Doorway"));
  *layout.mutable_lines(0) = ShownLine(browser, 0);
  EXPECT_EQ(layout.lines(0).name(), "Doorway");
  EXPECT_TRUE(Near(layout.lines(0).b(), 340, 360)) << layout.DebugString();
  const auto dragged = WhatIfOf(client, Address(base), "live", layout, 0);
  ASSERT_EQ(dragged.report().zones_size(), 1) << dragged.error();
  EXPECT_TRUE(PollUntil(
      [&] {
        return ShownCounts(browser) == CountsText(layout, dragged.report());
      },
      kWait))
      << ShownCounts(browser);

  std::system(("mkdir -p " + kScreens).c_str());
  const Rect hours = ElementRect(browser, "#chart-hours");
  const Rect days = ElementRect(browser, "#chart-days");
  EXPECT_TRUE(browser.Screenshot(kScreens + "chart.png", hours.x - 4,
                                 hours.y - 28, hours.width + 8,
                                 days.y + days.height - hours.y + 32));
  const Rect stage = ElementRect(browser, "#stage");
  const Rect counts = ElementRect(browser, "#whatif");
  EXPECT_TRUE(browser.Screenshot(kScreens + "editor.png", stage.x - 4,
                                 stage.y - 4, stage.width + 8,
                                 counts.y + counts.height - stage.y + 8));

  // "Apply": the driver takes its configuration with the new line and
  // counts with it.
  zmq::context_t context(1);
  Subscriber data(context, Endpoint("127.0.0.1", base + kCrowdData), kWait);
  ASSERT_TRUE(data.connected());
  ASSERT_TRUE(ClickOn(browser, "#apply-zones"));
  EXPECT_TRUE(PollUntil(
      [&] {
        return browser.String(
                   "document.getElementById('apply-answer').textContent") ==
               "CONFIG_RECEIVED";
      },
      kWait))
      << browser.String("document.getElementById('apply-answer').textContent");
  std::string zone;
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto bytes = data.Receive(milliseconds(200));
        VisionResult result;
        if (!bytes || !result.ParseFromString(*bytes)) return false;
        for (const auto& event : result.vision_event()) {
          if (event.tag() == v1::ZONE_EXIT) zone = event.zone_name();
        }
        return !zone.empty();
      },
      milliseconds(60000)));
  EXPECT_EQ(zone, "Doorway");
  EXPECT_TRUE(browser.Screenshot(kScreens + "page.png", 0, 0, 1400, 1100));
}

// kestu-recount's counts of a recording with the zones in a file.
kestu::tools::RecountReport Recount(const std::string& detections,
                                    const std::string& zones_path,
                                    int forget_after) {
  ChildProcess child(
      KESTU_BINARY_DIR "/tools/kestu-recount",
      {"--detections=" + detections, "--zones=" + zones_path,
       "--forget_after=" + std::to_string(forget_after), "--json"});
  EXPECT_EQ(child.Wait(milliseconds(30000)), 0) << child.Stderr();
  kestu::tools::RecountReport report;
  EXPECT_TRUE(
      google::protobuf::util::JsonStringToMessage(child.Stdout(), &report).ok())
      << child.Stdout();
  return report;
}

// The layout's zones in the pipelines' keys, written for kestu-recount.
std::string WriteZones(const kestu::tools::ZoneLayout& layout,
                       const std::string& path) {
  ::talvenrook::common::Entity zones;
  ApplyLayout(layout, &zones);
  std::string text;
  google::protobuf::TextFormat::PrintToString(zones, &text);
  std::ofstream(path) << text;
  return path;
}

kestu::tools::EditorLine Line(const std::string& name, int ax, int ay, int bx,
                              int by, int height, bool repeat = false) {
  kestu::tools::EditorLine line;
  line.set_repeat(repeat);
  line.set_name(name);
  line.mutable_a()->set_x(ax);
  line.mutable_a()->set_y(ay);
  line.mutable_b()->set_x(bx);
  line.mutable_b()->set_y(by);
  line.set_height(height);
  return line;
}

void ExpectSameCounts(const kestu::tools::RecountReport& page,
                      const kestu::tools::RecountReport& recount) {
  EXPECT_EQ(page.frames(), recount.frames());
  EXPECT_EQ(page.tracks(), recount.tracks());
  ASSERT_EQ(page.zones_size(), recount.zones_size());
  for (int i = 0; i < page.zones_size(); ++i) {
    EXPECT_EQ(page.zones(i).forward(), recount.zones(i).forward())
        << "line " << i;
    EXPECT_EQ(page.zones(i).backward(), recount.zones(i).backward())
        << "line " << i;
  }
  ASSERT_EQ(page.areas_size(), recount.areas_size());
  for (int i = 0; i < page.areas_size(); ++i) {
    EXPECT_EQ(page.areas(i).enters(), recount.areas(i).enters())
        << "area " << i;
    EXPECT_EQ(page.areas(i).exits(), recount.areas(i).exits()) << "area " << i;
  }
}

TEST(WebEditorTest, RecordingUploadedThroughThePageCountsAsKestuRecount) {
  const std::string dir = ::testing::TempDir() + "kestu-web-recording-" +
                          std::to_string(getpid()) + "/";
  std::system(("mkdir -p " + dir).c_str());
  const std::string config = dir + "walkway.textproto";
  std::ofstream(config) << CrowdConfigText("record");
  const std::string detections = dir + "walkway.pb";
  VisionProcess recorder(PortBlock(552),
                         {"--standalone_mode", "--standalone_mode_driver=crowd",
                          "--configuration_proto=" + config,
                          "--record_detections_file=" + detections});
  ASSERT_EQ(recorder.child().Wait(milliseconds(120000)), 0)
      << recorder.child().Stderr();
  // No process behind the page: the recording is all there is.
  const std::string process = Address(PortBlock(553));
  WebProcess web(PortBlock(553) + 17, {process});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);

  DevToolsBrowser browser(Profile("recording"));
  ASSERT_TRUE(
      browser.Open("http://127.0.0.1:" + std::to_string(web.port()) + "/"))
      << browser.Log();
  ASSERT_TRUE(PollUntil(
      [&] {
        return browser.Number(
                   "document.querySelectorAll('#drivers tbody tr').length") ==
               3;
      },
      kWait));
  ASSERT_TRUE(ClickOn(browser, "#drivers tbody tr:nth-child(3)"));
  ASSERT_TRUE(browser.SetInputFile("#recording-file", detections));
  std::string source;
  ASSERT_TRUE(PollUntil(
      [&] {
        source =
            browser.String("document.getElementById('whatif-source').value");
        return source != "live" && !source.empty();
      },
      kWait))
      << browser.Log();
  const int forget_after = static_cast<int>(
      browser.Number("Number(document.getElementById('forget-after').value)"));
  ASSERT_GT(forget_after, 0);
  // The picture takes the recording's size with its first recount: a line
  // drawn before would be placed on the live picture's.
  ASSERT_TRUE(PollUntil(
      [&] {
        return browser.Number(
                   "document.body.innerText.indexOf('of the recording, "
                   "recounted')") >= 0;
      },
      kWait))
      << browser.Log();

  // A line drawn on the recording's canvas counts what kestu-recount counts
  // for the line the page shows.
  DrawLine(browser, 320, 130, 320, 330, 340, 230);
  kestu::tools::ZoneLayout drawn;
  *drawn.add_lines() = ShownLine(browser, 0);
  EXPECT_TRUE(Near(drawn.lines(0).a(), 320, 130)) << drawn.DebugString();
  const auto expected = Recount(
      detections, WriteZones(drawn, dir + "drawn.textproto"), forget_after);
  ASSERT_EQ(expected.zones_size(), 1);
  EXPECT_GE(expected.zones(0).forward() + expected.zones(0).backward(), 1);
  EXPECT_TRUE(PollUntil(
      [&] { return ShownCounts(browser) == CountsText(drawn, expected); },
      kWait))
      << ShownCounts(browser) << " vs " << CountsText(drawn, expected);

  // The sample's own line, and lines and areas that could go wrong: the
  // page's recount equals kestu-recount's.
  kestu::tools::ZoneLayout sample;
  *sample.add_lines() =
      Line("Walkway", 320, 130, 320, 330, 40, /*repeat=*/true);
  ExpectSameCounts(WhatIfOf(client, process, source, sample, 10).report(),
                   Recount(detections, config, 10));
  struct Case {
    const char* name;
    std::vector<kestu::tools::EditorLine> lines;
    std::vector<std::vector<std::pair<int, int>>> areas;
  };
  const std::vector<Case> cases = {
      {"across the walkway", {Line("Across", 100, 300, 700, 300, 30)}, {}},
      {"diagonal, drawn backwards",
       {Line("Diagonal", 600, 500, 200, 100, 20)},
       {}},
      {"where nobody walks", {Line("Top", 0, 8, 767, 8, 10)}, {}},
      {"every pass counted",
       {Line("Walkway", 320, 130, 320, 330, 40, true)},
       {}},
      {"two lines and an area",
       {Line("Left", 200, 100, 200, 500, 30),
        Line("Right", 560, 500, 560, 100, 30)},
       {{{100, 150}, {450, 150}, {450, 450}, {100, 450}}}},
      {"a triangle", {}, {{{0, 0}, {767, 0}, {383, 575}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kestu::tools::ZoneLayout layout;
    for (const auto& line : c.lines) *layout.add_lines() = line;
    for (const auto& points : c.areas) {
      auto* area = layout.add_areas();
      for (const auto& [x, y] : points) {
        auto* point = area->add_points();
        point->set_x(x);
        point->set_y(y);
      }
    }
    const auto page = WhatIfOf(client, process, source, layout, 10);
    EXPECT_TRUE(page.error().empty()) << page.error();
    ExpectSameCounts(
        page.report(),
        Recount(detections, WriteZones(layout, dir + "case.textproto"), 10));
  }

  // A recording killed while it wrote ends inside a frame: the page takes
  // its whole frames, as kestu-recount does.
  std::ifstream in(detections, std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), {});
  const auto upload = [&](const std::string& bytes) {
    kestu::tools::RecordingAnswer answer;
    const auto response = client.Post("/api/recordings?name=torn", bytes,
                                      "application/octet-stream");
    EXPECT_TRUE(response);
    if (response) {
      (void)google::protobuf::util::JsonStringToMessage(response->body,
                                                        &answer);
    }
    return answer;
  };
  const auto full = upload(whole);
  const auto torn = upload(whole.substr(0, whole.size() - 3));
  EXPECT_TRUE(torn.error().empty()) << torn.error();
  EXPECT_EQ(torn.frames(), full.frames() - 1);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace kestu_tools
