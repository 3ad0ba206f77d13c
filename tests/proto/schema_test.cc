// The wire contract of the schema, checked against hand-encoded bytes: field
// numbers, packed enums, unknown enum values, map keys and oneofs.
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "talvenrook/common/entity.pb.h"
#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"

namespace {

using talvenrook::common::Entity;
using talvenrook::common::Value;
using talvenrook::kestu::v1::driver::DriverConfig;
using talvenrook::kestu::v1::driver::KestuDriverInfo;
using talvenrook::kestu::v1::driver::Status;
using talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using talvenrook::vision::v1::FrameData;
using talvenrook::vision::v1::VisionResult;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

template <typename M>
M FromText(const std::string& text) {
  M message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message))
      << text;
  return message;
}

struct WireCase {
  const char* name;
  std::string (*serialize)();
  std::string expected;
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class WireTest : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireTest, SerialisesToHandEncodedBytes) {
  EXPECT_EQ(GetParam().serialize(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Schema, WireTest,
    ::testing::Values(
        // DriverConfig.uuid is field 14 (tag 0x72), timeout field 2 (float).
        WireCase{"DriverConfigUuid",
                 [] {
                   DriverConfig c;
                   c.set_uuid("u");
                   c.set_timeout_after_last_ping(1.0f);
                   return c.SerializeAsString();
                 },
                 Bytes({0x15, 0x00, 0x00, 0x80, 0x3f, 0x72, 0x01, 'u'})},
        // CameraConfig.source is field 4 though declared first; config
        // sits at field 4 of DriverConfig.
        WireCase{
            "CameraSource",
            [] {
              DriverConfig c;
              c.mutable_kestu_eye_config()->mutable_camera_config()->set_source(
                  "v");
              c.mutable_kestu_eye_config()
                  ->mutable_camera_config()
                  ->set_camera_id(2);
              return c.SerializeAsString();
            },
            Bytes({0x22, 0x07, 0x0a, 0x05, 0x08, 0x02, 0x22, 0x01, 'v'})},
        // object_to_detect: field 21, packed, order kept.
        WireCase{"ObjectToDetectPacked",
                 [] {
                   KestuEyeConfig c;
                   c.add_object_to_detect(
                       talvenrook::kestu::v1::kestueye::FACE_DESCRIPTOR);
                   c.add_object_to_detect(
                       talvenrook::kestu::v1::kestueye::FACE);
                   c.set_action(talvenrook::kestu::v1::kestueye::GET_VERSION);
                   return c.SerializeAsString();
                 },
                 Bytes({0x28, 0x07, 0xaa, 0x01, 0x02, 30, 20})},
        // Value members 17, 18 and 19 need two-byte tags.
        WireCase{"ValueHighFields",
                 [] {
                   Entity e;
                   (*e.mutable_properties())["s"].set_string_value("x");
                   return e.SerializeAsString();
                 },
                 Bytes({0x0a, 0x09, 0x0a, 0x01, 's', 0x12, 0x04, 0x8a, 0x01,
                        0x01, 'x'})},
        WireCase{"ValueSize",
                 [] {
                   Value v;
                   v.mutable_size_value()->set_width(640);
                   v.mutable_size_value()->set_height(1);
                   return v.SerializeAsString();
                 },
                 Bytes({0x9a, 0x01, 0x05, 0x08, 0x80, 0x05, 0x10, 0x01})},
        // Scalars at their default are not written at all.
        WireCase{"DefaultsAreEmpty",
                 [] {
                   Status s;
                   s.set_type(Status::MESSAGE_TYPE_NOT_DEFINED);
                   s.set_uuid("");
                   s.set_message("");
                   Value unset;
                   return s.SerializeAsString() + unset.SerializeAsString();
                 },
                 std::string()},
        // An explicitly set zero inside the oneof is written.
        WireCase{"OneofZeroIsWritten",
                 [] {
                   Value v;
                   v.set_integer_value(0);
                   return v.SerializeAsString();
                 },
                 Bytes({0x10, 0x00})},
        // face_descriptor is packed floats; VisionResult.uuid is field 7.
        WireCase{"VisionResult",
                 [] {
                   VisionResult r;
                   r.set_uuid("a");
                   r.add_rect_detection()
                       ->add_facial_recognition()
                       ->add_face_descriptor(1.0f);
                   return r.SerializeAsString();
                 },
                 Bytes({0x0a, 0x08, 0x2a, 0x06, 0x32, 0x04, 0x00, 0x00, 0x80,
                        0x3f, 0x3a, 0x01, 'a'})}),
    [](const ::testing::TestParamInfo<WireCase>& info) {
      return std::string(info.param.name);
    });

TEST(SchemaTest, UnknownEnumNumbersSurviveARoundTrip) {
  // Status.type = 99, then KestuEyeConfig.object_to_detect = [20, 77].
  const std::string status_bytes = Bytes({0x08, 99});
  Status status;
  ASSERT_TRUE(status.ParseFromString(status_bytes));
  EXPECT_EQ(static_cast<int>(status.type()), 99);
  EXPECT_EQ(status.SerializeAsString(), status_bytes);

  const std::string config_bytes = Bytes({0xaa, 0x01, 0x02, 20, 77});
  KestuEyeConfig config;
  ASSERT_TRUE(config.ParseFromString(config_bytes));
  ASSERT_EQ(config.object_to_detect_size(), 2);
  EXPECT_EQ(config.object_to_detect(1), 77);
  EXPECT_EQ(config.SerializeAsString(), config_bytes);
}

TEST(SchemaTest, RepeatedMapKeyKeepsTheLastValue) {
  // Two Entity.properties entries with key "k": integer 1, then integer 2.
  const std::string entry1 =
      Bytes({0x0a, 0x07, 0x0a, 0x01, 'k', 0x12, 0x02, 0x10, 0x01});
  const std::string entry2 =
      Bytes({0x0a, 0x07, 0x0a, 0x01, 'k', 0x12, 0x02, 0x10, 0x02});
  Entity entity;
  ASSERT_TRUE(entity.ParseFromString(entry1 + entry2));
  ASSERT_EQ(entity.properties_size(), 1);
  EXPECT_EQ(entity.properties().at("k").integer_value(), 2);

  // FrameData.sections (field 4): "s" -> 1.0f then "s" -> 2.0f.
  const std::string s1 =
      Bytes({0x22, 0x08, 0x0a, 0x01, 's', 0x15, 0x00, 0x00, 0x80, 0x3f});
  const std::string s2 =
      Bytes({0x22, 0x08, 0x0a, 0x01, 's', 0x15, 0x00, 0x00, 0x00, 0x40});
  FrameData frame;
  ASSERT_TRUE(frame.ParseFromString(s1 + s2));
  ASSERT_EQ(frame.sections_size(), 1);
  EXPECT_FLOAT_EQ(frame.sections().at("s"), 2.0f);
}

TEST(SchemaTest, OneofKeepsOnlyTheLastMember) {
  // boolean_value = true, then integer_value = 5 on the wire.
  Value value;
  ASSERT_TRUE(value.ParseFromString(Bytes({0x08, 0x01, 0x10, 0x05})));
  EXPECT_EQ(value.value_type_case(), Value::kIntegerValue);
  EXPECT_FALSE(value.boolean_value());
  EXPECT_EQ(value.SerializeAsString(), Bytes({0x10, 0x05}));

  // Setting a second member in code clears the first.
  value.set_string_value("x");
  EXPECT_FALSE(value.has_integer_value());
  EXPECT_EQ(value.integer_value(), 0);
  value.Clear();
  EXPECT_EQ(value.value_type_case(), Value::VALUE_TYPE_NOT_SET);
}

TEST(SchemaTest, TextFormatResolvesAcrossFiles) {
  // Entity, Value and Timestamp must resolve through the imports.
  auto config = FromText<DriverConfig>(R"pb(
    uuid: "abc"
    kestu_eye_config {
      action: START_STREAMING
      models { properties { key: "t" value { timestamp_value { seconds: 5 } } } }
      config { properties { key: "n" value { entity_value {
        properties { key: "b" value { blob_value: "\001" } } } } } }
    })pb");
  EXPECT_EQ(config.kestu_eye_config()
                .models(0)
                .properties()
                .at("t")
                .timestamp_value()
                .seconds(),
            5);
  EXPECT_EQ(Status::MessageType_Name(Status::VIDEO_READY), "VIDEO_READY");
  EXPECT_EQ(Status::VIDEO_READY, 12);
  EXPECT_EQ(
      talvenrook::vision::v1::EventTag_Name(talvenrook::vision::v1::ZONE_EXIT),
      "ZONE_EXIT");
  talvenrook::vision::v1::VisionRequest request;
  request.add_vehicle_recognition(talvenrook::vision::v1::FAMILY_CAR);
  EXPECT_EQ(request.SerializeAsString(), Bytes({0x32, 0x01, 0x01}));
}

TEST(SchemaTest, DriverInfoFieldNumbers) {
  KestuDriverInfo info;
  auto* d = info.add_info();
  d->set_base_port(60001);
  d->set_timeout_after_last_ping(5000);
  d->set_notes_for_human("F");
  EXPECT_EQ(info.SerializeAsString(),
            Bytes({0x0a, 0x0a, 0x10, 0xe1, 0xd4, 0x03, 0x30, 0x88, 0x27, 0x3a,
                   0x01, 'F'}));
}

}  // namespace
