// The driver keys read once into typed options: what each bad value does
// to the setting, and the issue that names its key.
#include "src/driver/driver_options.h"

#include <functional>
#include <set>
#include <sstream>
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
    {"CaptureTimeoutOutOfBoundsIsReportedAndKept",
     Prop("capture_open_timeout_ms", "integer_value: 100") +
         Prop("capture_read_timeout_ms", "integer_value: 3000000000"),
     {"capture_open_timeout_ms", "capture_read_timeout_ms"},
     true,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.source.capture_open_timeout_ms, 5000);
       EXPECT_EQ(p.options.source.capture_read_timeout_ms, 5000);
       EXPECT_EQ(p.issues[0].message,
                 "capture_open_timeout_ms must lie in [500, 120000], got 100; "
                 "keeping 5000");
       EXPECT_EQ(p.issues[1].message,
                 "capture_read_timeout_ms must lie in [500, 120000], got "
                 "3000000000; keeping 5000");
       EXPECT_TRUE(p.issues[0].error);
     }},
    {"UnknownCaptureBackendIsReportedAndKept",
     Prop("capture_backend", "string_value: \"dshow\""),
     {"capture_backend"},
     true,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.options.source.capture_backend, "");
       EXPECT_EQ(p.issues[0].message,
                 "capture_backend must be one of ffmpeg, gstreamer, v4l2 or "
                 "any, got \"dshow\"; keeping \"ffmpeg\"");
     }},
    {"ValuesOfAnotherKindReadAsZeroWithoutAnIssue",
     Prop("show_gui", "string_value: \"yes\"") +
         Prop("camera_rotation", "string_value: \"90\"") +
         Prop("enable_drawings", "integer_value: 1"),
     {},
     false,
     [](const ParsedOptions& p) {
       EXPECT_EQ(p.requests.show_gui, false);
       EXPECT_EQ(p.requests.camera_rotation, 0);
       EXPECT_FALSE(p.options.preview.enable_drawings);
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

// Everything a parse leaves, as text, to tell two parses apart.
std::string Dump(const ParsedOptions& p) {
  std::ostringstream out;
  const PreviewOptions& v = p.options.preview;
  out << v.enable_drawings << v.font_size << v.preview_size_factor
      << v.blur_preview << v.blur_amount << v.preview_quality << v.show_text_fps
      << v.show_fps << "|";
  const LoopOptions& l = p.options.loop;
  out << l.async_mode << l.max_async_images << l.max_fps << "|";
  const SourceOptions& s = p.options.source;
  for (const auto& [name, value] : s.camera_properties) out << name << value;
  out << s.target_resolution << s.bypass_resolution_settings
      << s.force_resolution << s.keep_aspect << s.camera_rotation << s.source
      << s.skip_frames << s.enable_source_reconnection
      << s.stream_checking_period << s.capture_backend
      << s.capture_open_timeout_ms << s.capture_read_timeout_ms << "|";
  const OptionRequests& r = p.requests;
  auto opt = [&out](const auto& value) {
    if (value) {
      out << *value;
    } else {
      out << "-";
    }
    out << ",";
  };
  opt(r.log_forwarding);
  opt(r.verbosity_level);
  opt(r.async_mode);
  opt(r.testing_mode);
  opt(r.show_gui);
  opt(r.camera_rotation);
  opt(r.detection_timeout);
  opt(r.monitor_performance);
  out << r.bypass_resolution_settings << r.source
      << r.recording_options.has_value();
  return out.str();
}

// A value for a key of the reference unlike its default.
std::string ValueFor(const talvenrook_vision::KeyDoc& key) {
  using talvenrook_vision::KeyType;
  switch (key.type) {
    case KeyType::kBool:
      return key.default_text == "true" ? "boolean_value: false"
                                        : "boolean_value: true";
    case KeyType::kInt:
      return "integer_value: 600";
    case KeyType::kDouble:
      return "double_value: 0.5";
    case KeyType::kSize:
      return "size_value { width: 320 height: 240 }";
    case KeyType::kEnum:
      return "string_value: \"" + key.choices.back() + "\"";
    case KeyType::kMap:
      return "entity_value { " + Prop("gain", "integer_value: 1") + "}";
    default:
      return "string_value: \"7\"";
  }
}

// The reference of the driver keys is what the parser reads: each key it
// lists, given alone, changes what a parse leaves.
TEST(DriverKeyReferenceTest, EveryKeyListedIsRead) {
  const talvenrook_vision::KeyTableDoc reference = DriverKeyReference();
  ASSERT_GT(reference.keys.size(), 30u);
  std::set<std::string> names;
  for (const talvenrook_vision::KeyDoc& key : reference.keys) {
    SCOPED_TRACE(key.name);
    EXPECT_TRUE(names.insert(key.name).second) << "listed twice";
    // max_async_images is read only beside async_mode, skip_frames only
    // beside source.
    std::string base;
    if (key.name == "max_async_images") {
      base = Prop("async_mode", "boolean_value: true");
    }
    if (key.name == "skip_frames") {
      base = Prop("source", "string_value: \"clip.mp4\"");
    }
    const DriverOptions current;
    const std::string without = Dump(ParseDriverOptions(Map(base), current));
    const std::string with = Dump(
        ParseDriverOptions(Map(base + Prop(key.name, ValueFor(key))), current));
    EXPECT_NE(with, without);
  }
}

}  // namespace
}  // namespace vostek_kestu
