#include "tools/fault_probe/fuzz_messages.h"

#include <cmath>
#include <iterator>
#include <limits>

namespace kestu_tools {

namespace {

namespace kestueye = ::talvenrook::kestu::v1::kestueye;
using Entity = ::talvenrook::common::Entity;
using Value = ::talvenrook::common::Value;

constexpr float kInf = std::numeric_limits<float>::infinity();

Value& Property(Entity* entity, const std::string& key) {
  return (*entity->mutable_properties())[key];
}

Entity* ConfigMap(DriverConfig* config) {
  return config->mutable_kestu_eye_config()->mutable_config();
}

Entity* ActionData(DriverConfig* config, kestueye::EnumKestuAction action) {
  config->mutable_kestu_eye_config()->set_action(action);
  return config->mutable_kestu_eye_config()->mutable_action_data();
}

// The valid messages that mutations start from.
std::vector<std::string> MakeSeeds() {
  std::vector<DriverConfig> seeds;
  {
    DriverConfig c;
    c.set_uuid("seed-settings");
    Entity* map = ConfigMap(&c);
    Property(map, "max_fps").set_integer_value(10);
    Property(map, "show_fps").set_boolean_value(true);
    Property(map, "blur_amount").set_integer_value(7);
    Property(map, "preview_quality").set_integer_value(80);
    Property(map, "camera_rotation").set_integer_value(90);
    Property(map, "font_size").set_double_value(1.5);
    auto* size = Property(map, "resolution").mutable_size_value();
    size->set_width(320);
    size->set_height(240);
    seeds.push_back(c);
  }
  {
    DriverConfig c;
    c.set_uuid("seed-modes");
    Entity* map = ConfigMap(&c);
    Property(map, "log_forwarding").set_boolean_value(false);
    Property(map, "verbosity_level").set_integer_value(0);
    Property(map, "async_mode").set_boolean_value(true);
    Property(map, "max_async_images").set_integer_value(3);
    Property(map, "detection_timeout").set_integer_value(240);
    Entity* camera = Property(map, "camera_properties").mutable_entity_value();
    Property(camera, "gain").set_double_value(1.0);
    Property(camera, "backend").set_integer_value(3);
    seeds.push_back(c);
  }
  {
    DriverConfig c;
    c.set_uuid("seed-recording");
    Entity* options =
        Property(ActionData(&c, kestueye::START_RECORDING), "recording_options")
            .mutable_entity_value();
    Property(options, "duration").set_integer_value(2);
    Property(options, "fps").set_integer_value(5);
    Property(options, "codec").set_string_value("MJPG");
    Property(options, "extension").set_string_value("avi");
    Entity* interleaved =
        Property(options, "interleaved_options").mutable_entity_value();
    Property(interleaved, "samples").set_integer_value(3);
    Property(interleaved, "period").set_integer_value(60);
    seeds.push_back(c);
  }
  {
    DriverConfig c;
    c.set_uuid("seed-camera");
    Entity* camera = Property(ActionData(&c, kestueye::SET_CAMERA_CONFIG),
                              "camera_properties")
                         .mutable_entity_value();
    Property(camera, "brightness").set_double_value(0.5);
    Property(camera, "backend").set_integer_value(1);
    seeds.push_back(c);
  }
  for (auto action : {kestueye::GET_VERSION, kestueye::CAPTURE_PREVIEW,
                      kestueye::START_STREAMING, kestueye::STOP_STREAMING,
                      kestueye::STOP_RECORDING}) {
    seeds.push_back(Command("seed-command", action));
  }
  std::vector<std::string> bytes;
  for (const auto& seed : seeds) bytes.push_back(seed.SerializeAsString());
  return bytes;
}

}  // namespace

const char* FuzzKindName(FuzzKind kind) {
  switch (kind) {
    case FuzzKind::kRandom:
      return "random";
    case FuzzKind::kTruncated:
      return "truncated";
    case FuzzKind::kBitFlipped:
      return "bit-flipped";
    case FuzzKind::kAbsurdTimes:
      return "absurd-times";
    case FuzzKind::kAbsurdValues:
      return "absurd-values";
    case FuzzKind::kHugeString:
      return "1MB-string";
    case FuzzKind::kManyProperties:
      return "10k-properties";
    case FuzzKind::kDeepNesting:
      return "deep-nesting";
    case FuzzKind::kValid:
      return "valid";
    default:
      return "?";
  }
}

DriverConfig Command(const std::string& uuid,
                     kestueye::EnumKestuAction action) {
  DriverConfig config;
  config.set_uuid(uuid);
  config.mutable_kestu_eye_config()->set_action(action);
  return config;
}

DriverConfig ValidConfiguration(const std::string& uuid,
                                const std::string& source) {
  DriverConfig config;
  config.set_uuid(uuid);
  config.set_delay_between_updates(1.0f);
  config.set_timeout_after_last_ping(5.0f);
  Entity* map = ConfigMap(&config);
  Property(map, "log_forwarding").set_boolean_value(false);
  Property(map, "verbosity_level").set_integer_value(0);
  Property(map, "max_fps").set_integer_value(10);
  if (!source.empty()) {
    Property(map, "source").set_string_value(source);
    Property(map, "enable_source_reconnection").set_boolean_value(true);
    Entity* camera = Property(map, "camera_properties").mutable_entity_value();
    Property(camera, "backend").set_integer_value(1900);
    Property(camera, "brightness").set_double_value(0.5);
  }
  return config;
}

FuzzMessages::FuzzMessages(uint32_t seed) : rng_(seed), seeds_(MakeSeeds()) {}

std::string FuzzMessages::Next(FuzzKind* kind) {
  // Weights per kind: mutations dominate, the expensive kinds are rare.
  static const int kWeights[] = {25, 15, 25, 8, 10, 2, 2, 3, 10};
  std::discrete_distribution<int> pick(std::begin(kWeights),
                                       std::end(kWeights));
  *kind = static_cast<FuzzKind>(pick(rng_));
  while (true) {
    std::string bytes = Make(*kind);
    if (!TouchesTheSource(bytes)) return bytes;
  }
}

bool FuzzMessages::TouchesTheSource(const std::string& bytes) {
  // A flipped bit easily turns one action into another (5 and 9 into 1).
  DriverConfig config;
  if (!config.ParseFromString(bytes)) return false;
  const auto& eye = config.kestu_eye_config();
  if (eye.has_config()) {
    return eye.config().properties().count("source") > 0;
  }
  switch (eye.action()) {
    case kestueye::START_DETECTION:
    case kestueye::STOP_DETECTION:
    case kestueye::RESTART_DETECTION:
      return true;
    default:
      return false;
  }
}

std::string FuzzMessages::Make(FuzzKind kind) {
  switch (kind) {
    case FuzzKind::kRandom:
      return RandomBytes(rng_() % 50 == 0 ? 65536 : 300);
    case FuzzKind::kTruncated: {
      const std::string& seed = Seed();
      return seed.substr(0, rng_() % seed.size());
    }
    case FuzzKind::kBitFlipped: {
      std::string bytes = Seed();
      const int flips = 1 + rng_() % 4;
      for (int i = 0; i < flips; ++i) {
        bytes[rng_() % bytes.size()] ^= static_cast<char>(1 << (rng_() % 8));
      }
      return bytes;
    }
    case FuzzKind::kAbsurdTimes:
      return AbsurdTimes().SerializeAsString();
    case FuzzKind::kAbsurdValues:
      return AbsurdValues().SerializeAsString();
    case FuzzKind::kHugeString:
      return HugeString().SerializeAsString();
    case FuzzKind::kManyProperties:
      return ManyProperties().SerializeAsString();
    case FuzzKind::kDeepNesting:
      return DeepNesting().SerializeAsString();
    default:
      return Seed();
  }
}

std::string FuzzMessages::RandomBytes(size_t max_length) {
  std::string bytes(rng_() % (max_length + 1), '\0');
  for (char& c : bytes) c = static_cast<char>(rng_());
  return bytes;
}

const std::string& FuzzMessages::Seed() {
  return seeds_[rng_() % seeds_.size()];
}

DriverConfig FuzzMessages::AbsurdTimes() {
  // Tiny positive time-outs are left out: a client that sets one gets a
  // driver that hardly ever counts as pinged, which is what it asked for.
  static const float kDelays[] = {kInf, -kInf, NAN,   1e30f,  2147483.648f,
                                  1e6f, -5.0f, 1e-7f, 0.0004f};
  static const float kTimeouts[] = {kInf,         -kInf, NAN,   1e30f,
                                    2147483.648f, 1e6f,  -5.0f, 0.0f};
  DriverConfig config;
  config.set_uuid("absurd-times");
  config.set_delay_between_updates(kDelays[rng_() % std::size(kDelays)]);
  config.set_timeout_after_last_ping(kTimeouts[rng_() % std::size(kTimeouts)]);
  return config;
}

DriverConfig FuzzMessages::AbsurdValues() {
  static const int64_t kIntegers[] = {0,
                                      -1,
                                      std::numeric_limits<int32_t>::max(),
                                      std::numeric_limits<int32_t>::min(),
                                      std::numeric_limits<int64_t>::max(),
                                      int64_t{1} << 40};
  static const double kReals[] = {std::numeric_limits<double>::infinity(), NAN,
                                  -1e308, 0.0, 1e-320};
  auto integer = [&] { return kIntegers[rng_() % std::size(kIntegers)]; };
  auto real = [&] { return kReals[rng_() % std::size(kReals)]; };
  DriverConfig config;
  config.set_uuid("absurd-values");
  switch (rng_() % 4) {
    case 0: {  // configuration keys
      Entity* map = ConfigMap(&config);
      for (const char* key : {"max_fps", "blur_amount", "preview_quality",
                              "camera_rotation", "detection_timeout",
                              "stream_checking_period", "max_async_images"}) {
        Property(map, key).set_integer_value(integer());
      }
      Property(map, "async_mode").set_boolean_value(rng_() % 2 == 0);
      Property(map, "font_size").set_double_value(real());
      Property(map, "preview_size_factor").set_double_value(real());
      auto* size = Property(map, "resolution").mutable_size_value();
      size->set_width(static_cast<int32_t>(integer()));
      size->set_height(static_cast<int32_t>(integer()));
      Entity* camera =
          Property(map, "camera_properties").mutable_entity_value();
      Property(camera, "backend").set_double_value(real());
      Property(camera, "exposure").set_double_value(real());
      Property(camera, std::string(200, 'z')).set_integer_value(1);
      break;
    }
    case 1: {  // recording options, in a command or a configuration
      Entity* holder = rng_() % 2 == 0
                           ? ActionData(&config, kestueye::START_RECORDING)
                           : ConfigMap(&config);
      Entity* options =
          Property(holder, "recording_options").mutable_entity_value();
      Property(options, "duration").set_integer_value(integer());
      Property(options, "fps").set_integer_value(integer());
      Property(options, "codec")
          .set_string_value(rng_() % 2 ? "X"
                                       : std::string("\x01\x02\x03\x04", 4));
      Entity* interleaved =
          Property(options, "interleaved_options").mutable_entity_value();
      Property(interleaved, "samples")
          .set_integer_value(rng_() % 3 == 0
                                 ? std::numeric_limits<int32_t>::max()
                                 : static_cast<int64_t>(rng_() % 40));
      Property(interleaved, "period").set_integer_value(integer());
      Property(interleaved, "moment_to_record").set_integer_value(integer());
      break;
    }
    case 2: {  // camera properties set at once
      Entity* camera =
          Property(ActionData(&config, kestueye::SET_CAMERA_CONFIG),
                   "camera_properties")
              .mutable_entity_value();
      for (const char* name : {"backend", "fps", "pos_frames", "nonsense"}) {
        Property(camera, name).set_double_value(real());
      }
      break;
    }
    default:  // an action outside the enumeration
      config.mutable_kestu_eye_config()->set_action(
          static_cast<kestueye::EnumKestuAction>(11 + rng_() % 1000));
      break;
  }
  return config;
}

DriverConfig FuzzMessages::HugeString() {
  DriverConfig config;
  const std::string huge(1 << 20, static_cast<char>('a' + rng_() % 26));
  if (rng_() % 2 == 0) {
    config.set_uuid(huge.substr(0, 4096));
    Property(ConfigMap(&config), "notes").set_string_value(huge);
  } else {
    Property(ActionData(&config, kestueye::GET_VERSION), "blob")
        .set_blob_value(huge);
  }
  return config;
}

DriverConfig FuzzMessages::ManyProperties() {
  DriverConfig config;
  config.set_uuid("many-properties");
  Entity* map = ConfigMap(&config);
  for (int i = 0; i < 10000; ++i) {
    Property(map, "key_" + std::to_string(i)).set_integer_value(i);
  }
  return config;
}

DriverConfig FuzzMessages::DeepNesting() {
  static const int kDepths[] = {10, 60, 99, 150, 1000};
  const int depth = kDepths[rng_() % std::size(kDepths)];
  DriverConfig config;
  config.set_uuid("deep-" + std::to_string(depth));
  Entity* entity = ConfigMap(&config);
  for (int i = 0; i < depth; ++i) {
    entity = Property(entity, "nested").mutable_entity_value();
  }
  Property(entity, "leaf").set_integer_value(depth);
  return config;
}

}  // namespace kestu_tools
