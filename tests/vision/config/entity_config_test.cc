#include "vision/config/entity_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

Entity ParseEntity(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity))
      << text;
  return entity;
}

// Every kind of value under its own key, so each conversion can be tried
// against each kind.
const char kAllKinds[] = R"pb(
  properties { key: "bool" value { boolean_value: true } }
  properties { key: "int" value { integer_value: 3 } }
  properties { key: "big" value { integer_value: 4294967298 } }
  properties { key: "double" value { double_value: 3.0 } }
  properties { key: "string" value { string_value: "text" } }
  properties { key: "blob" value { blob_value: "\x01\x02" } }
  properties { key: "size" value { size_value { width: 640 height: 480 } } }
  properties { key: "entity" value { entity_value {
    properties { key: "inner" value { integer_value: 7 } } } } }
  properties { key: "array" value { array_value {
    values { integer_value: 104 } values { double_value: 117.5 }
    values { string_value: "x" } } } }
  properties { key: "unset" value {} }
)pb";

class EntityConfigTest : public ::testing::Test {
 protected:
  Entity map_ = ParseEntity(kAllKinds);
  std::ostringstream captured_;
  std::streambuf* saved_ = nullptr;
  void CaptureStderr() { saved_ = std::cerr.rdbuf(captured_.rdbuf()); }
  std::string Stderr() {
    if (saved_) std::cerr.rdbuf(saved_);
    saved_ = nullptr;
    return captured_.str();
  }
  void TearDown() override { Stderr(); }
};

TEST_F(EntityConfigTest, PresenceIgnoresKind) {
  EXPECT_TRUE(HasProperty(map_, "unset"));
  EXPECT_TRUE(HasProperty(map_, "bool"));
  EXPECT_FALSE(HasProperty(map_, "missing"));
  EXPECT_FALSE(HasProperty(map_, "Bool"));
}

TEST_F(EntityConfigTest, GetPropertyOnAbsentKeyThrowsTypedError) {
  EXPECT_EQ(GetProperty(map_, "int").integer_value(), 3);
  try {
    GetProperty(map_, "engine");
    FAIL() << "no exception";
  } catch (const MissingPropertyError& e) {
    EXPECT_STREQ(e.what(), "CHECK failed: it != end(): key not found: engine");
    EXPECT_EQ(e.key(), "engine");
  }
}

// Each row: key, and the value each target type reads from it.
struct Row {
  const char* key;
  bool b;
  int32_t i32;
  int64_t i64;
  double real;
  const char* str;
  int size_w, size_h;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.key; }

class ConversionTest : public EntityConfigTest,
                       public ::testing::WithParamInterface<Row> {};

TEST_P(ConversionTest, ReadsValueOrZeroOfTarget) {
  const Row& row = GetParam();
  // Defaults chosen non-zero: a present key of another kind must not keep
  // the default but read as zero.
  EXPECT_EQ(GetPropertyOr(map_, row.key, !row.b), row.b);
  EXPECT_EQ(GetPropertyOr<int32_t>(map_, row.key, -5), row.i32);
  EXPECT_EQ(GetPropertyOr<int64_t>(map_, row.key, -5), row.i64);
  EXPECT_DOUBLE_EQ(GetPropertyOr(map_, row.key, 0.01), row.real);
  EXPECT_FLOAT_EQ(GetPropertyOr(map_, row.key, 0.01f),
                  static_cast<float>(row.real));
  EXPECT_EQ(GetPropertyOr(map_, row.key, "default"), row.str);
  cv::Size size(9, 9);
  EXPECT_TRUE(ReadPropertyIfPresent(map_, row.key, &size));
  EXPECT_EQ(size, cv::Size(row.size_w, row.size_h));
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ConversionTest,
    ::testing::Values(Row{"bool", true, 0, 0, 0.0, "", 0, 0},
                      Row{"int", false, 3, 3, 3.0, "", 0, 0},
                      // 2^32 + 2 truncates to 2 in 32 bits.
                      Row{"big", false, 2, 4294967298LL, 4294967298.0, "", 0,
                          0},
                      // A double is never converted to an integer.
                      Row{"double", false, 0, 0, 3.0, "", 0, 0},
                      Row{"string", false, 0, 0, 0.0, "text", 0, 0},
                      Row{"blob", false, 0, 0, 0.0, "", 0, 0},
                      Row{"size", false, 0, 0, 0.0, "", 640, 480},
                      Row{"entity", false, 0, 0, 0.0, "", 0, 0},
                      Row{"array", false, 0, 0, 0.0, "", 0, 0},
                      Row{"unset", false, 0, 0, 0.0, "", 0, 0}),
    [](const ::testing::TestParamInfo<Row>& info) {
      return std::string(info.param.key);
    });

TEST_F(EntityConfigTest, AbsentKeyKeepsTargetAndDefault) {
  int32_t target = 42;
  EXPECT_FALSE(ReadPropertyIfPresent(map_, "missing", &target));
  EXPECT_EQ(target, 42);
  EXPECT_DOUBLE_EQ(GetPropertyOr(map_, "missing", 0.01), 0.01);
  EXPECT_EQ(GetPropertyOr(map_, "missing", "dflt"), "dflt");
}

TEST_F(EntityConfigTest, ScalarWritesOnlyTheArrayPrefix) {
  cv::Scalar mean(1, 2, 3, 4);
  Entity two = ParseEntity(R"pb(
    properties { key: "input_mean_scale" value { array_value {
      values { integer_value: 104 } values { integer_value: 117 } } } })pb");
  ASSERT_TRUE(ReadPropertyIfPresent(two, "input_mean_scale", &mean));
  EXPECT_EQ(mean, cv::Scalar(104, 117, 3, 4));

  // Five elements: only four are taken; a string element reads as 0.
  Entity five = ParseEntity(R"pb(
    properties { key: "m" value { array_value {
      values { double_value: 0.5 } values { string_value: "x" }
      values { integer_value: 7 } values { integer_value: 8 }
      values { integer_value: 9 } } } })pb");
  ASSERT_TRUE(ReadPropertyIfPresent(five, "m", &mean));
  EXPECT_EQ(mean, cv::Scalar(0.5, 0, 7, 8));

  // Another kind of value writes nothing.
  cv::Scalar kept(1, 2, 3, 4);
  ASSERT_TRUE(ReadPropertyIfPresent(map_, "int", &kept));
  EXPECT_EQ(kept, cv::Scalar(1, 2, 3, 4));
}

TEST_F(EntityConfigTest, NestedMapsListsAndBlobs) {
  Entity inner = GetPropertyOr(map_, "entity", Entity());
  EXPECT_EQ(GetPropertyOr(inner, "inner", 0), 7);
  EXPECT_EQ(GetPropertyOr(map_, "int", inner).properties_size(), 0);
  EXPECT_EQ(AsEntity(GetProperty(map_, "string")).properties_size(), 0);

  std::vector<double> reals;
  ReadPropertyIfPresent(map_, "array", &reals);
  EXPECT_EQ(reals, (std::vector<double>{104.0, 117.5, 0.0}));
  std::vector<std::string> names;
  ReadPropertyIfPresent(map_, "array", &names);
  EXPECT_EQ(names, (std::vector<std::string>{"", "", "x"}));
  ArrayValue list;
  ReadPropertyIfPresent(map_, "string", &list);
  EXPECT_EQ(list.values_size(), 0);

  Bytes blob;
  ReadPropertyIfPresent(map_, "blob", &blob);
  EXPECT_EQ(blob, (Bytes{1, 2}));
  ReadPropertyIfPresent(map_, "string", &blob);
  EXPECT_TRUE(blob.empty());
}

TEST_F(EntityConfigTest, RequiredGroupReportsEveryMissingKeyInOrder) {
  Entity rect = ParseEntity(R"pb(
    properties { key: "x" value { integer_value: 1 } }
    properties { key: "width" value { integer_value: 2 } })pb");
  CaptureStderr();
  EXPECT_FALSE(CheckRequiredProperties(rect, {"x", "y", "width", "height"}));
  EXPECT_TRUE(CheckRequiredProperties(rect, {"x", "width"}));
  EXPECT_EQ(Stderr(),
            "ERROR: Property y was not found\n"
            "ERROR: Property height was not found\n");
}

TEST(EngineNameTest, OnlyExactUpperCaseNamesChange) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"CAFFE", "Caffe"},   {"TENSORFLOW", "Tensorflow"},
      {"caffe", "caffe"},   {"Caffe", "Caffe"},
      {"TFLITE", "TFLITE"}, {"CAFFE ", "CAFFE "},
      {"ONNX", "ONNX"},     {"", ""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeEngineName(in), out);
}

TEST(ConfiguringLineTest, PluralOnlyAboveOne) {
  EXPECT_EQ(ConfiguringLine(1, "ROI"), "INFO: Configuring 1 ROI.");
  EXPECT_EQ(ConfiguringLine(3, "ROI"), "INFO: Configuring 3 ROIs.");
  EXPECT_EQ(ConfiguringLine(0, "zone"), "INFO: Configuring 0 zone.");
  EXPECT_EQ(ConfiguringLine(2, "area"), "INFO: Configuring 2 areas.");
}

TEST_F(EntityConfigTest, ConfidenceThresholdFromPipelineMap) {
  Entity config = ParseEntity(R"pb(
    properties { key: "family_car_confidence_threshold"
                 value { double_value: 0.75 } }
    properties { key: "beard_confidence_threshold"
                 value { integer_value: 1 } })pb");
  float threshold = 0.0f;
  CaptureStderr();
  EXPECT_TRUE(ReadConfidenceThreshold(config, "family_car", &threshold));
  EXPECT_FLOAT_EQ(threshold, 0.75f);
  EXPECT_TRUE(ReadConfidenceThreshold(config, "beard", &threshold));
  EXPECT_FLOAT_EQ(threshold, 1.0f);
  EXPECT_FALSE(ReadConfidenceThreshold(config, "gender", &threshold));
  EXPECT_FLOAT_EQ(threshold, 1.0f);
  EXPECT_EQ(Stderr(),
            "Confidence threshold (family_car_confidence_threshold): 0.75\n"
            "Confidence threshold (beard_confidence_threshold): 1\n");
}

TEST_F(EntityConfigTest, ModelSectionsConfigTestedFirst) {
  CaptureStderr();
  EXPECT_FALSE(CheckModelSections(ParseEntity(R"pb(
    properties { key: "config" value { entity_value {} } })pb")));
  EXPECT_FALSE(CheckModelSections(Entity()));
  EXPECT_TRUE(CheckModelSections(ParseEntity(R"pb(
    properties { key: "config" value { entity_value {} } }
    properties { key: "content" value { entity_value {} } })pb")));
  EXPECT_EQ(Stderr(),
            "Error: Property \"content\" is not configured\n"
            "Error: Property \"config\" is not configured\n");
}

TEST(TemporaryFileTest, UniquePrivateFilesHoldTheBytes) {
  const std::string payload("net\0work", 8);
  const std::string a = WriteTemporaryFile(payload);
  const std::string b =
      WriteTemporaryFile(Bytes(payload.begin(), payload.end()));
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  for (const std::string& path : {a, b}) {
    EXPECT_NE(path.find("/kestu-"), std::string::npos) << path;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(path, std::ios::binary);
    std::string read((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(read, payload);
    unlink(path.c_str());
  }
}

}  // namespace
}  // namespace talvenrook_vision
