#include "vision/config/config_limits.h"

#include <string>

namespace talvenrook_vision {
namespace {

using ::talvenrook::common::Entity;
using ::talvenrook::common::Value;

class SizeWalk {
 public:
  // False, with the reason kept, as soon as a bound is passed.
  bool WalkEntity(const Entity& entity, const std::string& path, int depth) {
    for (const auto& [key, value] : entity.properties()) {
      const std::string where =
          path.empty() ? "\"" + key + "\"" : path + " \"" + key + "\"";
      if (!WalkValue(value, where, depth + 1)) return false;
    }
    return true;
  }

  const std::string& reason() const { return reason_; }

 private:
  bool WalkValue(const Value& value, const std::string& path, int depth) {
    if (++values_ > kMaxValues) {
      return Refuse("the configuration holds more than " +
                    std::to_string(kMaxValues) + " values");
    }
    if (depth > kMaxDepth) {
      return Refuse(path + " is nested more than " + std::to_string(kMaxDepth) +
                    " levels deep");
    }
    if (value.value_type_case() == Value::kEntityValue) {
      return WalkEntity(value.entity_value(), path, depth);
    }
    if (value.value_type_case() != Value::kArrayValue) return true;
    const auto& list = value.array_value().values();
    if (list.size() > kMaxListLength) {
      return Refuse(path + " has " + std::to_string(list.size()) +
                    " elements (at most " + std::to_string(kMaxListLength) +
                    ")");
    }
    for (int i = 0; i < list.size(); ++i) {
      if (!WalkValue(list.Get(i), path + " element #" + std::to_string(i + 1),
                     depth + 1)) {
        return false;
      }
    }
    return true;
  }

  bool Refuse(const std::string& reason) {
    reason_ = reason;
    return false;
  }

  int64_t values_ = 0;
  std::string reason_;
};

}  // namespace

absl::Status CheckConfigurationSize(
    const ::talvenrook::kestu::v1::kestueye::KestuEyeConfig& config) {
  SizeWalk walk;
  if (!walk.WalkEntity(config.config(), "", 0)) {
    return SetupError(walk.reason());
  }
  for (int i = 0; i < config.models_size(); ++i) {
    if (!walk.WalkEntity(config.models(i), "model #" + std::to_string(i + 1),
                         0)) {
      return SetupError(walk.reason());
    }
  }
  return absl::OkStatus();
}

}  // namespace talvenrook_vision
