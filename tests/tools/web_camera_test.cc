// kestu-web's page, in headless Chromium, over a fake process of real
// ZeroMQ sockets whose camera can be stopped at will: it says since when
// there has been no picture when the frames stop (only for a driver with a
// source), and stops saying it when they come again.
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/tools/devtools_browser.h"
#include "tests/tools/fake_process.h"
#include "tests/tools/web_test_util.h"

namespace kestu_tools {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

// "HH:MM:SS" of a Unix time in ms, in the local time zone (the browser's).
std::string LocalClock(int64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm local;
  localtime_r(&seconds, &local);
  char text[16];
  strftime(text, sizeof(text), "%H:%M:%S", &local);
  return text;
}

TEST(WebCameraTest, PageSaysSinceWhenThereIsNoPicture) {
  const int base = PortBlock(586);
  FakeProcess fake(base, base + 15);
  fake.SetCamera("crowd", Camera(true, NowMillis()));
  fake.SetCamera("face", CameraState());
  fake.Flow("crowd", true);
  WebProcess web(base + 17, {Address(base)});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  // The streamed frames go under the crowd driver once it is the most
  // recently active one.
  ASSERT_TRUE(PollUntil(
      [&] {
        fake.SendStatus("crowd", Status::CAMERA_CONNECTED);
        const auto state = GetState(client);
        return state.processes_size() == 1 &&
               state.processes(0).drivers(2).has_snapshot();
      },
      kWait, milliseconds(100)));

  DevToolsBrowser browser(::testing::TempDir() + "kestu-chromium-camera-" +
                          std::to_string(getpid()));
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(web.port()) +
                           "/?driver=crowd"))
      << browser.Log();
  // The banner's text while it shows, else empty.
  auto banner = [&] {
    return browser.String(
        "(() => { const b = document.getElementById('no-picture');"
        " return b.getClientRects().length ? b.textContent : ''; })()");
  };
  ASSERT_TRUE(PollUntil(
      [&] {
        return browser.String(
                   "document.getElementById('chosen').textContent") ==
               "crowd of " + Address(base);
      },
      kWait));
  // Frames flow for longer than the banner waits: it never shows.
  EXPECT_FALSE(PollUntil([&] { return !banner().empty(); }, milliseconds(7000),
                         milliseconds(250)))
      << banner();

  fake.Flow("crowd", false);
  const int64_t stopped = fake.last_frame_ms();
  // The time of the last frame read, or of the last JPEG reaching
  // kestu-web a moment later.
  const std::string expected[] = {
      "No picture since " + LocalClock(stopped),
      "No picture since " + LocalClock(stopped + 1000)};
  std::string shown;
  EXPECT_TRUE(PollUntil(
      [&] {
        shown = banner();
        return shown == expected[0] || shown == expected[1];
      },
      kWait, milliseconds(250)))
      << "shown: \"" << shown << "\", the last frame at " << LocalClock(stopped)
      << "\n"
      << browser.Log();
  ASSERT_FALSE(shown.empty());

  // Another driver, without a source, has no banner; back to the crowd
  // driver, it is there again.
  auto choose = [&](int row) {
    return browser
        .Evaluate("document.querySelectorAll('#drivers tr.driver')[" +
                  std::to_string(row) + "].click()")
        .has_value();
  };
  ASSERT_TRUE(choose(0));
  EXPECT_TRUE(PollUntil([&] { return banner().empty(); }, kWait));
  ASSERT_TRUE(choose(2));
  EXPECT_TRUE(PollUntil([&] { return banner() == shown; }, kWait)) << banner();

  // The frames come again: the banner goes.
  fake.Flow("crowd", true);
  EXPECT_TRUE(
      PollUntil([&] { return banner().empty(); }, kWait, milliseconds(250)))
      << banner();
}

// The page shows the first driver that holds a configuration, also when
// the drivers' information says so only after the page opened, until the
// operator picks one; a blurred preview is said to be blurred, with the key.
TEST(WebPageTest, OpensOnTheConfiguredDriverUntilOnePicks) {
  const int base = PortBlock(160);
  FakeProcess fake(base, base + 15);
  WebProcess web(base + 17, {Address(base)});
  ASSERT_TRUE(web.Started());
  DevToolsBrowser browser(::testing::TempDir() + "kestu-chromium-choice-" +
                          std::to_string(getpid()));
  ASSERT_TRUE(
      browser.Open("http://127.0.0.1:" + std::to_string(web.port()) + "/"))
      << browser.Log();
  auto shows = [&](const std::string& driver) {
    return PollUntil(
        [&] {
          return browser.String(
                     "document.getElementById('chosen').textContent") ==
                 driver + " of " + Address(base);
        },
        kWait, milliseconds(100));
  };
  // Nothing configured: the first driver.
  ASSERT_TRUE(shows("face")) << browser.Log();
  EXPECT_TRUE(PollUntil(
      [&] {
        return browser
                   .String(
                       "(() => { const n = "
                       "document.getElementById('blur-note');"
                       " return n.hidden ? '' : n.textContent; })()")
                   .find("\"blur_preview\"") != std::string::npos;
      },
      kWait, milliseconds(100)));

  fake.SetConfigured("crowd", true);
  EXPECT_TRUE(shows("crowd")) << browser.Log();

  // The operator picks the vehicle driver: another driver configured later
  // does not take the page away from it.
  ASSERT_TRUE(browser
                  .Evaluate("document.querySelectorAll('#drivers "
                            "tr.driver')[1].click()")
                  .has_value());
  ASSERT_TRUE(shows("vehicle"));
  fake.SetConfigured("crowd", false);
  fake.SetConfigured("face", true);
  EXPECT_FALSE(PollUntil(
      [&] {
        return browser.String(
                   "document.getElementById('chosen').textContent") !=
               "vehicle of " + Address(base);
      },
      milliseconds(3000), milliseconds(200)));
}

}  // namespace
}  // namespace kestu_tools
