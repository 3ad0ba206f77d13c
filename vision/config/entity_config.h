// Typed access to property maps (talvenrook.common.Entity).
//
// Every setting of the vision library arrives as an Entity: a map from a key
// to a Value holding one of several kinds. These helpers fix, once for the
// whole library, how a key is looked up, how a Value converts to the type a
// setting needs, and which messages are written when something is missing.
//
// Conversion rules: a value of the expected kind converts; a value of any
// other kind reads as the zero value of the target type (never the default,
// never an error). Absence is the only thing that selects a default.
//
// Example model map in protobuf text format:
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "config" value { entity_value {
//     properties { key: "confidence_th" value { double_value: 0.5 } } } } }
#ifndef VISION_CONFIG_ENTITY_CONFIG_H_
#define VISION_CONFIG_ENTITY_CONFIG_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/common/entity.pb.h"

namespace talvenrook_vision {

using Entity = ::talvenrook::common::Entity;
using Value = ::talvenrook::common::Value;
using ArrayValue = ::talvenrook::common::ArrayValue;
using Bytes = std::vector<uchar>;

// Raised by GetProperty for an absent key. The library never catches it; the
// driver layer catches it where it applies a configuration.
class MissingPropertyError : public std::runtime_error {
 public:
  explicit MissingPropertyError(const std::string& key);
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// True when the key is present, whatever the kind of its value.
bool HasProperty(const Entity& map, const std::string& key);

// The value under the key. Throws MissingPropertyError when absent, with the
// text "CHECK failed: it != end(): key not found: " + key.
const Value& GetProperty(const Entity& map, const std::string& key);

// Conversions from a Value. Each overload stores the converted value in
// *out; a value of another kind stores the zero value of the type.
void ConvertValue(const Value& value, bool* out);
void ConvertValue(const Value& value, int32_t* out);  // integer, truncated
void ConvertValue(const Value& value, int64_t* out);
void ConvertValue(const Value& value, double* out);  // integer or double
void ConvertValue(const Value& value, float* out);   // integer or double
void ConvertValue(const Value& value, std::string* out);
void ConvertValue(const Value& value, Bytes* out);     // blob
void ConvertValue(const Value& value, cv::Size* out);  // size, truncated
// Writes the first min(n, 4) components from an array (each as a real);
// the other components keep their values. Any other kind writes nothing.
void ConvertValue(const Value& value, cv::Scalar* out);
void ConvertValue(const Value& value, Entity* out);
void ConvertValue(const Value& value, ArrayValue* out);
// Lists converted element by element with the rules above.
void ConvertValue(const Value& value, std::vector<std::string>* out);
void ConvertValue(const Value& value, std::vector<double>* out);
void ConvertValue(const Value& value, std::vector<int32_t>* out);

// The nested map of a value, or an empty map for a value of another kind.
// The reference stays valid as long as the value does.
const Entity& AsEntity(const Value& value);

// When the key is present, converts its value into *target and returns
// true; otherwise leaves *target unchanged and returns false.
template <typename T>
bool ReadPropertyIfPresent(const Entity& map, const std::string& key,
                           T* target) {
  const auto& props = map.properties();
  auto it = props.find(key);
  if (it == props.end()) return false;
  ConvertValue(it->second, target);
  return true;
}

// The converted value when the key is present, else the default.
template <typename T>
T GetPropertyOr(const Entity& map, const std::string& key, T default_value) {
  ReadPropertyIfPresent(map, key, &default_value);
  return default_value;
}

// Narrow-string convenience so that GetPropertyOr(map, "k", "text") yields a
// std::string rather than a pointer.
inline std::string GetPropertyOr(const Entity& map, const std::string& key,
                                 const char* default_value) {
  return GetPropertyOr<std::string>(map, key, std::string(default_value));
}

// Tests every key in order and writes "ERROR: Property <key> was not found"
// for each absent one. True only when all are present.
bool CheckRequiredProperties(const Entity& map,
                             const std::vector<std::string>& keys);

// "CAFFE" -> "Caffe", "TENSORFLOW" -> "Tensorflow"; anything else unchanged.
std::string NormalizeEngineName(const std::string& name);

// Writes the bytes to a new file in the system temporary directory, created
// atomically with a unique name ("kestu-XXXXXX", mode 0600). Returns its
// path, or an empty string when it could not be created or written.
std::string WriteTemporaryFile(const std::string& bytes);
std::string WriteTemporaryFile(const Bytes& bytes);

// "INFO: Configuring <count> <noun>s." (plural only when count > 1), the
// line written before visiting a list of sub-configurations.
std::string ConfiguringLine(size_t count, const std::string& singular_noun);
void WriteConfiguringLine(size_t count, const std::string& singular_noun);

// Reads name + "_confidence_threshold" from a pipeline config map as a real.
// When present stores it, writes "Confidence threshold (<key>): <value>" and
// returns true.
bool ReadConfidenceThreshold(const Entity& pipeline_config,
                             const std::string& name, float* threshold);

// For loaders that need both sub-maps of a model: writes
// Error: Property "config" is not configured (or "content"; "config" is tested
// first) and returns false when one is missing.
bool CheckModelSections(const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_ENTITY_CONFIG_H_
