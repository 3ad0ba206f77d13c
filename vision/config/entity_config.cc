#include "vision/config/entity_config.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {

MissingPropertyError::MissingPropertyError(const std::string& key)
    : std::runtime_error("CHECK failed: it != end(): key not found: " + key),
      key_(key) {}

bool HasProperty(const Entity& map, const std::string& key) {
  return map.properties().count(key) > 0;
}

const Value& GetProperty(const Entity& map, const std::string& key) {
  const auto& props = map.properties();
  auto it = props.find(key);
  if (it == props.end()) throw MissingPropertyError(key);
  return it->second;
}

void ConvertValue(const Value& value, bool* out) {
  *out =
      value.value_type_case() == Value::kBooleanValue && value.boolean_value();
}

void ConvertValue(const Value& value, int32_t* out) {
  *out = value.value_type_case() == Value::kIntegerValue
             ? static_cast<int32_t>(value.integer_value())
             : 0;
}

void ConvertValue(const Value& value, int64_t* out) {
  *out = value.value_type_case() == Value::kIntegerValue ? value.integer_value()
                                                         : 0;
}

void ConvertValue(const Value& value, double* out) {
  switch (value.value_type_case()) {
    case Value::kIntegerValue:
      *out = static_cast<double>(value.integer_value());
      break;
    case Value::kDoubleValue:
      *out = value.double_value();
      break;
    default:
      *out = 0.0;
  }
}

void ConvertValue(const Value& value, float* out) {
  double real;
  ConvertValue(value, &real);
  *out = static_cast<float>(real);
}

void ConvertValue(const Value& value, std::string* out) {
  if (value.value_type_case() == Value::kStringValue) {
    *out = value.string_value();
  } else {
    out->clear();
  }
}

void ConvertValue(const Value& value, Bytes* out) {
  if (value.value_type_case() == Value::kBlobValue) {
    const std::string& blob = value.blob_value();
    out->assign(blob.begin(), blob.end());
  } else {
    out->clear();
  }
}

void ConvertValue(const Value& value, cv::Size* out) {
  if (value.value_type_case() == Value::kSizeValue) {
    out->width = static_cast<int32_t>(value.size_value().width());
    out->height = static_cast<int32_t>(value.size_value().height());
  } else {
    *out = cv::Size(0, 0);
  }
}

void ConvertValue(const Value& value, cv::Scalar* out) {
  if (value.value_type_case() != Value::kArrayValue) return;
  const auto& values = value.array_value().values();
  const int n = std::min(values.size(), 4);
  for (int i = 0; i < n; ++i) ConvertValue(values.Get(i), &(*out)[i]);
}

void ConvertValue(const Value& value, Entity* out) {
  if (value.value_type_case() == Value::kEntityValue) {
    *out = value.entity_value();
  } else {
    out->Clear();
  }
}

void ConvertValue(const Value& value, ArrayValue* out) {
  if (value.value_type_case() == Value::kArrayValue) {
    *out = value.array_value();
  } else {
    out->Clear();
  }
}

namespace {

template <typename T>
void ConvertList(const Value& value, std::vector<T>* out) {
  out->clear();
  if (value.value_type_case() != Value::kArrayValue) return;
  out->reserve(value.array_value().values_size());
  for (const Value& element : value.array_value().values()) {
    T converted{};
    ConvertValue(element, &converted);
    out->push_back(std::move(converted));
  }
}

}  // namespace

void ConvertValue(const Value& value, std::vector<std::string>* out) {
  ConvertList(value, out);
}
void ConvertValue(const Value& value, std::vector<double>* out) {
  ConvertList(value, out);
}
void ConvertValue(const Value& value, std::vector<int32_t>* out) {
  ConvertList(value, out);
}

const Entity& AsEntity(const Value& value) {
  return value.value_type_case() == Value::kEntityValue
             ? value.entity_value()
             : Entity::default_instance();
}

bool CheckRequiredProperties(const Entity& map,
                             const std::vector<std::string>& keys) {
  bool all_present = true;
  for (const std::string& key : keys) {
    if (!HasProperty(map, key)) {
      NoteError("Property " + key + " was not found");
      all_present = false;
    }
  }
  return all_present;
}

std::string NormalizeEngineName(const std::string& name) {
  if (name == "CAFFE") return "Caffe";
  if (name == "TENSORFLOW") return "Tensorflow";
  return name;
}

std::string WriteTemporaryFile(const std::string& bytes) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  std::string path = (dir / "kestu-XXXXXX").string();
  // mkstemp creates the file exclusively with mode 0600, so no other process
  // can slip a file or a link in under the name.
  int fd = mkstemp(path.data());
  if (fd < 0) return std::string();
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      unlink(path.c_str());
      return std::string();
    }
    written += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    unlink(path.c_str());
    return std::string();
  }
  return path;
}

std::string WriteTemporaryFile(const Bytes& bytes) {
  return WriteTemporaryFile(std::string(bytes.begin(), bytes.end()));
}

std::string ConfiguringLine(size_t count, const std::string& singular_noun) {
  std::ostringstream line;
  line << "INFO: Configuring " << count << " " << singular_noun
       << (count > 1 ? "s." : ".");
  return line.str();
}

void WriteConfiguringLine(size_t count, const std::string& singular_noun) {
  // The line without its "INFO: " prefix, which the note adds.
  NoteInfo(ConfiguringLine(count, singular_noun).substr(6));
}

bool ReadConfidenceThreshold(const Entity& pipeline_config,
                             const std::string& name, float* threshold) {
  const std::string key = name + "_confidence_threshold";
  if (!ReadPropertyIfPresent(pipeline_config, key, threshold)) return false;
  std::cerr << "Confidence threshold (" << key << "): " << *threshold << "\n";
  return true;
}

bool CheckModelSections(const Entity& model) {
  for (const char* section : {"config", "content"}) {
    if (!HasProperty(model, section)) {
      std::cerr << "Error: Property \"" << section << "\" is not configured\n";
      return false;
    }
  }
  return true;
}

}  // namespace talvenrook_vision
