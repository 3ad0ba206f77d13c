// The driver keys read once into typed options: what each bad value does
// to the setting, and the issue that names its key.
#include "src/driver/driver_options.h"

#include <functional>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace vostek_kestu {
namespace {

Entity Map(const std::string& text) {
  Entity map;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &map))
      << text;
  return map;
}

std::string Prop(const std::string& key, const std::string& value) {
  return "properties { key: \"" + key + "\" value { " + value + " } } ";
}

struct OptionCase {
  const char* name;
  std::string properties;
  std::vector<std::string> issue_keys;  // in key order
  bool reported = false;                // the issue also goes to the client
  std::function<void(const ParsedOptions&)> check;
};

class ParseOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ParseOptionsTest, BadValuesKeepOrBoundTheSettingAndNameTheKey) {
  const OptionCase& c = GetParam();
  DriverOptions current;
  current.source.target_resolution = cv::Size(640, 480);
  const ParsedOptions parsed = ParseDriverOptions(Map(c.properties), current);
  std::vector<std::string> keys;
  for (const OptionIssue& issue : parsed.issues) {
    keys.push_back(issue.key);
    EXPECT_EQ(issue.report, c.reported) << issue.message;
  }
  EXPECT_EQ(keys, c.issue_keys);
  EXPECT_EQ(parsed.ok(), c.issue_keys.empty());
  c.check(parsed);
}

const OptionCase kCases[] = {
    {"FontSizeZeroKeepsTheSize",
     Prop("font_size", "double_value: 0"),
     {"font_size"},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.preview.font_size, 1.0f);
       EXPECT_EQ(p.issues[0].message,
                 "font_size must lie in (0, 50], got 0; keeping 1");
     }},
    {"FontSizeAboveFifty",
     Prop("font_size", "double_value: 60.5"),
     {"font_size"},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.preview.font_size, 1.0f);
     }},
    {"ResolutionWithAZeroSide",
     Prop("resolution", "size_value { width: 0 height: 480 }"),
     {"resolution"},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.source.target_resolution, cv::Size(640, 480));
       EXPECT_EQ(p.issues[0].message,
                 "Width and Height should be greater than zero");
     }},
    {"ResolutionBeyondTheLimitIsReported",
     Prop("resolution", "size_value { width: 9000 height: 100 }"),
     {"resolution"},
     true,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.source.target_resolution, cv::Size(640, 480));
       EXPECT_EQ(p.issues[0].message,
                 "Resolution 9000 x 100 is beyond 8192 x 8192; keeping the "
                 "previous one");
     }},
    {"AsyncImagesZeroIsRaisedToOne",
     Prop("async_mode", "boolean_value: true") +
         Prop("max_async_images", "integer_value: 0"),
     {"max_async_images"},
     false,
     [](const ParsedOptions& p) {
       EXPECT_TRUE(p.options.loop.async_mode);
       EXPECT_EQ(p.options.loop.max_async_images, 1);
     }},
    {"AsyncImagesAboveTheLimit",
     Prop("async_mode", "boolean_value: true") +
         Prop("max_async_images", "integer_value: 100"),
     {"max_async_images"},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.loop.max_async_images, 64);
     }},
    {"AsyncImagesWithoutAsyncModeAreIgnored",
     Prop("max_async_images", "integer_value: 0"),
     {},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.loop.max_async_images, 5);
       EXPECT_FALSE(p.requests.async_mode.has_value());
     }},
    {"SeveralBadKeysInKeyOrder",
     Prop("resolution", "size_value { width: 1 height: 0 }") +
         Prop("font_size", "integer_value: -3") +
         Prop("async_mode", "boolean_value: false") +
         Prop("max_async_images", "integer_value: -7"),
     {"max_async_images", "font_size", "resolution"},
     false,
     [](const ParsedOptions& p) {}},
    {"GoodKeys",
     Prop("blur_amount", "integer_value: 90") +
         Prop("max_fps", "integer_value: 10") +
         Prop("source", "string_value: \"rtsp://camera/1\"") +
         Prop("detection_timeout", "integer_value: 10"),
     {},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.preview.blur_amount, 91);  // made odd
       EXPECT_EQ(p.options.loop.max_fps, 10);
       EXPECT_TRUE(p.requests.source);
       EXPECT_TRUE(p.options.source.skip_frames);    // a URL
       EXPECT_EQ(p.requests.detection_timeout, 10);  // raised when applied
     }},
    {"MaxFpsOnlyFromAPositiveInteger",
     Prop("max_fps", "double_value: 10"),
     {},
     false,
     [](const ParsedOptions& p) { EXPECT_EQ(p.options.loop.max_fps, 0); }},
};

INSTANTIATE_TEST_SUITE_P(Keys, ParseOptionsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<OptionCase>& info) {
                           return info.param.name;
                         });

TEST(ParseOptionsTest, AbsentKeysKeepTheCurrentSettingsButMaxFps) {
  DriverOptions current;
  current.preview.blur_amount = 7;
  current.loop.max_fps = 25;
  current.source.source = "clip.avi";
  current.source.skip_frames = false;
  const ParsedOptions parsed = ParseDriverOptions(Entity(), current);
  EXPECT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.options.preview.blur_amount, 7);
  EXPECT_EQ(parsed.options.loop.max_fps, 0);
  EXPECT_EQ(parsed.options.source.source, "clip.avi");
  EXPECT_FALSE(parsed.requests.source);
}

}  // namespace
}  // namespace vostek_kestu
