#include "vision/config/key_table.h"

#include <cmath>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "vision/config/key_reference.h"

namespace talvenrook_vision {
namespace {

enum class Mode { kSlow, kFast };

struct Settings {
  bool on = true;
  int32_t count = 5;
  int64_t big = 7;
  double share = 0.5;
  float gain = 1.5f;
  std::string label = "x";
  cv::Size size{2, 3};
  cv::Point at{1, 1};
  Mode mode = Mode::kSlow;
};

const KeyTable<Settings>& Table() {
  static const KeyTable<Settings>* const table = [] {
    auto* t = new KeyTable<Settings>("Sample", "A sample | component.");
    t->Bool("on", &Settings::on, "Switch.")
        .Int("count", &Settings::count, "Count | of things.",
             KeyBounds::AtLeast(1).Clamped().Problem(
                 "{key} must be at least 1, got {value}; using {kept}"))
        .Int("big", &Settings::big, "Wide integer.")
        .Double("share", &Settings::share, "Share.",
                KeyBounds::Between(0, 1)
                    .Open(true, false)
                    .Problem("{key} {value} is not in (0, 1]; {kept} is used",
                             KeySeverity::kError))
        .Double("gain", &Settings::gain, "Gain.", KeyBounds().Finite())
        .String("label", &Settings::label, "Label.")
        .ShownDefault("x<n>")
        .Size("size", &Settings::size, "Size.")
        .Point("at", &Settings::at, "Point.")
        .Required()
        .Enum("mode", &Settings::mode,
              {{"slow", Mode::kSlow}, {"fast", Mode::kFast}}, "Mode.",
              "Unknown {key} \"{value}\"; {kept} is kept");
    return t;
  }();
  return *table;
}

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity))
      << text;
  return entity;
}

std::string Text(const std::vector<KeyProblem>& problems) {
  std::string text;
  for (const KeyProblem& p : problems) {
    text += std::to_string(static_cast<int>(p.severity)) + " " + p.key + ": " +
            p.message + "\n";
  }
  return text;
}

struct ReadCase {
  std::string name;
  std::string config;
  Settings expected;
  std::string problems;  // "<severity> <key>: <message>" lines
};

Settings With(void (*change)(Settings*)) {
  Settings s;
  change(&s);
  return s;
}

TEST(KeyTableTest, ReadsKeysWithTheLibraryRulesAndNamesTheKeyOfEachProblem) {
  const std::vector<ReadCase> cases = {
      {"absent keys keep the values", "", Settings{}, ""},
      {"every kind read",
       R"pb(properties { key: "on" value { boolean_value: false } }
            properties { key: "count" value { integer_value: 9 } }
            properties { key: "big" value { integer_value: 4294967298 } }
            properties { key: "share" value { integer_value: 1 } }
            properties { key: "gain" value { double_value: -2.5 } }
            properties { key: "label" value { string_value: "door" } }
            properties { key: "size" value { size_value { width: 4 height: 5 } } }
            properties { key: "at" value { entity_value {
              properties { key: "x" value { integer_value: 7 } } } } }
            properties { key: "mode" value { string_value: "fast" } }
            properties { key: "unknown" value { string_value: "ignored" } })pb",
       With([](Settings* s) {
         s->on = false;
         s->count = 9;
         s->big = 4294967298;
         s->share = 1.0;
         s->gain = -2.5f;
         s->label = "door";
         s->size = cv::Size(4, 5);
         s->at = cv::Point(7, 0);
         s->mode = Mode::kFast;
       }),
       ""},
      {"below the least: clamped",
       R"pb(properties { key: "count" value { integer_value: -4 } })pb",
       With([](Settings* s) { s->count = 1; }),
       "1 count: count must be at least 1, got -4; using 1\n"},
      {"open bound and beyond: kept",
       R"pb(properties { key: "share" value { double_value: 0 } }
            properties { key: "gain" value { double_value: inf } })pb",
       Settings{}, "2 share: share 0 is not in (0, 1]; 0.5 is used\n"},
      {"wrong kinds read as zero, quietly",
       R"pb(properties { key: "on" value { integer_value: 1 } }
            properties { key: "count" value { double_value: 3 } }
            properties { key: "label" value { integer_value: 2 } }
            properties { key: "at" value { string_value: "1,2" } })pb",
       With([](Settings* s) {
         s->on = false;
         s->count = 1;
         s->label = "";
         s->at = cv::Point(0, 0);
       }),
       "0 on: on must be a boolean, got an integer; read as its zero value\n"
       "0 count: count must be an integer, got a real; read as its zero value\n"
       "1 count: count must be at least 1, got 0; using 1\n"
       "0 label: label must be a string, got an integer; read as its zero "
       "value\n"
       "0 at: at must be a map, got a string; read as its zero value\n"},
      {"unknown choice and wrong kind of choice: kept",
       R"pb(properties { key: "mode" value { string_value: "turbo" } })pb",
       Settings{}, "1 mode: Unknown mode \"turbo\"; slow is kept\n"},
      {"choice of another kind",
       R"pb(properties { key: "mode" value { boolean_value: true } })pb",
       Settings{},
       "0 mode: mode must be a string, got a boolean; read as its zero value\n"
       "1 mode: Unknown mode \"\"; slow is kept\n"},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Settings s;
    const std::vector<KeyProblem> problems = Table().Read(Parse(c.config), &s);
    EXPECT_EQ(Text(problems), c.problems);
    EXPECT_EQ(s.on, c.expected.on);
    EXPECT_EQ(s.count, c.expected.count);
    EXPECT_EQ(s.big, c.expected.big);
    EXPECT_DOUBLE_EQ(s.share, c.expected.share);
    EXPECT_FLOAT_EQ(s.gain, c.expected.gain);
    EXPECT_EQ(s.label, c.expected.label);
    EXPECT_EQ(s.size, c.expected.size);
    EXPECT_EQ(s.at, c.expected.at);
    EXPECT_EQ(s.mode, c.expected.mode);
  }
}

TEST(KeyTableTest, ReadOnlyLeavesTheOtherKeys) {
  Settings s;
  s.count = 11;
  Table().ReadOnly(
      Parse(R"pb(properties { key: "count" value { integer_value: 2 } }
                              properties { key: "label" value { string_value: "y" } })pb"),
      {"label"}, &s);
  EXPECT_EQ(s.count, 11);
  EXPECT_EQ(s.label, "y");
}

TEST(KeyTableTest, DescribesTheStructDefaultsBoundsAndChoices) {
  const KeyTableDoc& doc = Table().Describe();
  EXPECT_EQ(doc.component, "Sample");
  struct Row {
    std::string name, type, default_text, bounds;
  };
  const std::vector<Row> rows = {
      {"on", "boolean", "true", ""},
      {"count", "integer", "5", ">= 1, clamped"},
      {"big", "integer", "7", ""},
      {"share", "real", "0.5", "(0, 1]"},
      {"gain", "real", "1.5", "finite"},
      {"label", "string", "x<n>", ""},
      {"size", "size", "2 x 3", ""},
      {"at", "point (x, y)", "(1, 1)", ""},
      {"mode", "one of", "\"slow\"", ""},
  };
  ASSERT_EQ(doc.keys.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(doc.keys[i].name, rows[i].name);
    EXPECT_EQ(KeyTypeName(doc.keys[i].type), rows[i].type);
    EXPECT_EQ(doc.keys[i].default_text, rows[i].default_text);
    EXPECT_EQ(doc.keys[i].bounds_text, rows[i].bounds);
    EXPECT_EQ(doc.keys[i].required, rows[i].name == "at");
  }
  EXPECT_EQ(doc.keys.back().choices,
            (std::vector<std::string>{"slow", "fast"}));
}

TEST(KeyReferenceTest, OneSectionPerTableWithOneEscapedRowPerKey) {
  const std::string text = ConfigurationReference({Table().Describe()});
  for (const std::string& line : {
           std::string("\n## Sample\n\nA sample | component.\n\n"),
           std::string("| `count` | integer | `5` | >= 1, clamped | "
                       "Count \\| of things. |\n"),
           std::string("| `at` | point (x, y) | required |  | Point. |\n"),
           std::string("| `mode` | one of `slow`, `fast` | `\"slow\"` |  | "
                       "Mode. |\n"),
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

}  // namespace
}  // namespace talvenrook_vision
