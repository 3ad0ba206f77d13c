#include "vision/config/key_table.h"

#include <cmath>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

// The value kinds a key type reads; any other reads as the zero value.
bool KindFits(KeyType type, Value::ValueTypeCase kind) {
  switch (type) {
    case KeyType::kBool:
      return kind == Value::kBooleanValue;
    case KeyType::kInt:
      return kind == Value::kIntegerValue;
    case KeyType::kDouble:
      return kind == Value::kIntegerValue || kind == Value::kDoubleValue;
    case KeyType::kString:
    case KeyType::kEnum:
      return kind == Value::kStringValue;
    case KeyType::kSize:
      return kind == Value::kSizeValue;
    case KeyType::kPoint:
    case KeyType::kMap:
      return kind == Value::kEntityValue;
    case KeyType::kList:
      return kind == Value::kArrayValue;
    case KeyType::kBytes:
      return kind == Value::kBlobValue;
  }
  return false;
}

// The kind a key type is written as.
Value::ValueTypeCase KindOf(KeyType type) {
  switch (type) {
    case KeyType::kBool:
      return Value::kBooleanValue;
    case KeyType::kInt:
      return Value::kIntegerValue;
    case KeyType::kDouble:
      return Value::kDoubleValue;
    case KeyType::kSize:
      return Value::kSizeValue;
    case KeyType::kPoint:
    case KeyType::kMap:
      return Value::kEntityValue;
    case KeyType::kList:
      return Value::kArrayValue;
    case KeyType::kBytes:
      return Value::kBlobValue;
    default:
      return Value::kStringValue;
  }
}

const char* KindName(Value::ValueTypeCase kind) {
  switch (kind) {
    case Value::kBooleanValue:
      return "a boolean";
    case Value::kIntegerValue:
      return "an integer";
    case Value::kDoubleValue:
      return "a real";
    case Value::kEntityValue:
      return "a map";
    case Value::kArrayValue:
      return "a list";
    case Value::kTimestampValue:
      return "a timestamp";
    case Value::kStringValue:
      return "a string";
    case Value::kBlobValue:
      return "bytes";
    case Value::kSizeValue:
      return "a size";
    default:
      return "no value";
  }
}

std::string Number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

void ReplaceAll(const std::string& from, const std::string& to,
                std::string* text) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

}  // namespace

const char* KeyTypeName(KeyType type) {
  switch (type) {
    case KeyType::kBool:
      return "boolean";
    case KeyType::kInt:
      return "integer";
    case KeyType::kDouble:
      return "real";
    case KeyType::kString:
      return "string";
    case KeyType::kSize:
      return "size";
    case KeyType::kPoint:
      return "point (x, y)";
    case KeyType::kEnum:
      return "one of";
    case KeyType::kList:
      return "list";
    case KeyType::kMap:
      return "map";
    case KeyType::kBytes:
      return "bytes";
  }
  return "";
}

void WriteKeyProblems(const std::vector<KeyProblem>& problems) {
  for (const KeyProblem& problem : problems) {
    if (problem.severity == KeySeverity::kQuiet) continue;
    WriteNote(problem.severity == KeySeverity::kError ? NoteLevel::kError
                                                      : NoteLevel::kWarning,
              problem.message);
  }
}

KeyBounds KeyBounds::AtLeast(double low) {
  KeyBounds bounds;
  bounds.min = low;
  return bounds;
}

KeyBounds KeyBounds::Between(double low, double high) {
  KeyBounds bounds;
  bounds.min = low;
  bounds.max = high;
  return bounds;
}

KeyBounds& KeyBounds::Open(bool low, bool high) {
  min_open = low;
  max_open = high;
  return *this;
}

KeyBounds& KeyBounds::Finite() {
  finite = true;
  return *this;
}

KeyBounds& KeyBounds::Clamped() {
  clamp = true;
  return *this;
}

KeyBounds& KeyBounds::Problem(std::string text, KeySeverity level) {
  message = std::move(text);
  severity = level;
  return *this;
}

bool KeyBounds::Contains(double value) const {
  if (finite && !std::isfinite(value)) return false;
  if (min && (min_open ? !(value > *min) : !(value >= *min))) return false;
  if (max && (max_open ? !(value < *max) : !(value <= *max))) return false;
  return true;
}

double KeyBounds::Clamp(double value) const {
  if (min && !(value >= *min)) return *min;
  if (max && !(value <= *max)) return *max;
  return value;
}

std::string KeyBounds::Text() const {
  std::string range;
  if (min && max) {
    range = std::string(min_open ? "(" : "[") + Number(*min) + ", " +
            Number(*max) + (max_open ? ")" : "]");
  } else if (min) {
    range = (min_open ? "> " : ">= ") + Number(*min);
  } else if (max) {
    range = (max_open ? "< " : "<= ") + Number(*max);
  }
  if (finite) range = range.empty() ? "finite" : "finite, " + range;
  if (clamp && !range.empty()) range += ", clamped";
  return range;
}

namespace key_table_internal {

std::optional<KeyProblem> KindProblem(const std::string& key, KeyType type,
                                      const Value& value) {
  if (KindFits(type, value.value_type_case())) return std::nullopt;
  return KeyProblem{key, KeySeverity::kQuiet,
                    key + " must be " +
                        KindName(type == KeyType::kEnum ? Value::kStringValue
                                                        : KindOf(type)) +
                        ", got " + KindName(value.value_type_case()) +
                        "; read as its zero value"};
}

std::string Substitute(const std::string& text, const std::string& key,
                       const std::string& value, const std::string& kept) {
  std::string out = text;
  ReplaceAll("{key}", key, &out);
  ReplaceAll("{value}", value, &out);
  ReplaceAll("{kept}", kept, &out);
  return out;
}

std::string SizeText(const cv::Size& size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

std::string PointText(const cv::Point& point) {
  return "(" + std::to_string(point.x) + ", " + std::to_string(point.y) + ")";
}

void ConvertPoint(const Value& value, cv::Point* out) {
  const Entity& map = AsEntity(value);
  *out = cv::Point(GetPropertyOr<int32_t>(map, "x", 0),
                   GetPropertyOr<int32_t>(map, "y", 0));
}

}  // namespace key_table_internal
}  // namespace talvenrook_vision
