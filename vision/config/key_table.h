// KeyTable: the configuration keys of one component, each declared once
// (name, type, default, bounds, one line of description), read once into
// the component's settings struct at set-up.
//
// The default of a key is the value its member has in a default-constructed
// settings struct, so the struct's initialisers stay the one place where a
// default is written; the reference of the keys (Describe) is taken from the
// same declarations. Reading follows the library's conversion rules
// (entity_config.h): an absent key keeps the member's value; a value of
// another kind reads as the type's zero value, with a quiet problem naming
// the key. A value out of bounds keeps the member's value or is brought
// within the bounds, with the problem text declared for the key (none when
// the text is empty). Keys the table does not declare are ignored.
//
//   struct Settings { int32_t frames = 15; double share = 0.5; };
//   static const auto* table = new KeyTable<Settings>("Counter", "...");
//   table->Int("frames", &Settings::frames, "Frames kept.",
//              KeyBounds::AtLeast(1).Clamped());
//   Settings s;
//   WriteKeyProblems(table->Read(config, &s));
//
// Example map (protobuf text format):
//   properties { key: "frames" value { integer_value: 20 } }
#ifndef VISION_CONFIG_KEY_TABLE_H_
#define VISION_CONFIG_KEY_TABLE_H_

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

enum class KeyType {
  kBool,
  kInt,
  kDouble,
  kString,
  kSize,
  kPoint,
  kEnum,
  kList,   // an array, read by the component element by element
  kMap,    // a nested map, read by the component (often with a table)
  kBytes,  // a blob
};

// "boolean", "integer", "real", "string", "size", "point (x, y)", "one of",
// "list", "map", "bytes".
const char* KeyTypeName(KeyType type);

// One key as the reference shows it.
struct KeyDoc {
  std::string name;
  KeyType type = KeyType::kBool;
  std::string default_text;
  std::string bounds_text;           // empty: no bounds
  std::vector<std::string> choices;  // kEnum only
  std::string description;
  bool required = false;  // checked by the reader; no default
};

// The keys of one component, in declaration order.
struct KeyTableDoc {
  std::string component;
  std::string summary;
  std::vector<KeyDoc> keys;
};

enum class KeySeverity {
  kQuiet,    // kept for the caller, not written
  kWarning,  // "WARNING: "
  kError,    // "ERROR: "
};

struct KeyProblem {
  std::string key;
  KeySeverity severity = KeySeverity::kQuiet;
  std::string message;  // without the severity prefix
};

// Writes "WARNING: <message>" or "ERROR: <message>" to standard error for
// each problem that is not quiet, in order.
void WriteKeyProblems(const std::vector<KeyProblem>& problems);

// Bounds of a numeric key and what is done beyond them.
struct KeyBounds {
  std::optional<double> min;
  std::optional<double> max;
  bool min_open = false;  // min itself is out of bounds
  bool max_open = false;
  bool finite = false;  // infinities and NaN are out of bounds
  bool clamp = false;   // brought within (closed bounds only), else kept
  // Written when a value is out of bounds; "{key}", "{value}" and "{kept}"
  // (the value the member keeps or is clamped to) are replaced. Empty: the
  // value is handled without a problem.
  std::string message;
  KeySeverity severity = KeySeverity::kWarning;

  static KeyBounds AtLeast(double low);
  static KeyBounds Between(double low, double high);
  KeyBounds& Open(bool low, bool high);
  KeyBounds& Finite();
  KeyBounds& Clamped();
  KeyBounds& Problem(std::string text,
                     KeySeverity level = KeySeverity::kWarning);

  bool Contains(double value) const;
  double Clamp(double value) const;
  // "(0, 1]", ">= 0", "finite, >= 0", "[0, 1000], clamped"; empty when
  // unbounded.
  std::string Text() const;
};

namespace key_table_internal {

// A quiet problem when the value is not of the kind the type reads.
std::optional<KeyProblem> KindProblem(const std::string& key, KeyType type,
                                      const Value& value);
std::string Substitute(const std::string& text, const std::string& key,
                       const std::string& value, const std::string& kept);
std::string SizeText(const cv::Size& size);
std::string PointText(const cv::Point& point);
// A point map's integer "x" and "y".
void ConvertPoint(const Value& value, cv::Point* out);
inline void ConvertValue(const Value& value, cv::Point* out) {
  ConvertPoint(value, out);
}

template <typename T>
std::string Text(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "\"" + value + "\"";
  } else if constexpr (std::is_same_v<T, cv::Size>) {
    return SizeText(value);
  } else if constexpr (std::is_same_v<T, cv::Point>) {
    return PointText(value);
  } else if constexpr (!std::is_arithmetic_v<T>) {
    return std::string();  // lists, maps and bytes: shown by ShownDefault
  } else {
    std::ostringstream text;
    text << value;
    return text.str();
  }
}

}  // namespace key_table_internal

template <typename Settings>
class KeyTable {
 public:
  KeyTable(std::string component, std::string summary) {
    doc_.component = std::move(component);
    doc_.summary = std::move(summary);
  }

  template <typename M>
  KeyTable& Bool(const std::string& name, M Settings::*member,
                 const std::string& description) {
    return Plain(name, KeyType::kBool, member, description);
  }
  template <typename M>
  KeyTable& String(const std::string& name, M Settings::*member,
                   const std::string& description) {
    return Plain(name, KeyType::kString, member, description);
  }
  template <typename M>
  KeyTable& Size(const std::string& name, M Settings::*member,
                 const std::string& description) {
    return Plain(name, KeyType::kSize, member, description);
  }
  // A list (ArrayValue, std::vector<...>, or cv::Scalar from its first four
  // reals), a nested map (Entity) or bytes; the component reads the
  // elements or the nested keys itself.
  template <typename M>
  KeyTable& List(const std::string& name, M Settings::*member,
                 const std::string& description) {
    return Plain(name, KeyType::kList, member, description);
  }
  template <typename M>
  KeyTable& Map(const std::string& name, M Settings::*member,
                const std::string& description) {
    return Plain(name, KeyType::kMap, member, description);
  }
  template <typename M>
  KeyTable& Blob(const std::string& name, M Settings::*member,
                 const std::string& description) {
    return Plain(name, KeyType::kBytes, member, description);
  }
  // A map with integer "x" and "y" (each absent or of another kind: 0).
  template <typename M>
  KeyTable& Point(const std::string& name, M Settings::*member,
                  const std::string& description) {
    return Plain(name, KeyType::kPoint, member, description);
  }
  // An integral member; the value is read as an integer of its width.
  template <typename M>
  KeyTable& Int(const std::string& name, M Settings::*member,
                const std::string& description, KeyBounds bounds = {}) {
    static_assert(std::is_integral_v<M> && !std::is_same_v<M, bool>);
    return Number(name, KeyType::kInt, member, description, std::move(bounds));
  }
  // A floating-point member; an integer value reads as a real.
  template <typename M>
  KeyTable& Double(const std::string& name, M Settings::*member,
                   const std::string& description, KeyBounds bounds = {}) {
    static_assert(std::is_floating_point_v<M>);
    return Number(name, KeyType::kDouble, member, description,
                  std::move(bounds));
  }
  // One of the named choices; any other text keeps the member's value with
  // the unknown text ("{key}", "{value}" and "{kept}" replaced).
  template <typename E>
  KeyTable& Enum(const std::string& name, E Settings::*member,
                 std::vector<std::pair<std::string, E>> choices,
                 const std::string& description, std::string unknown,
                 KeySeverity severity = KeySeverity::kWarning);

  // A key whose value `read` converts itself (a list of maps, a map with
  // keys of its own); `read` may use the members of the keys declared
  // before it and add problems. The reference shows `shown_default`.
  KeyTable& Custom(
      const std::string& name, KeyType type, std::string shown_default,
      const std::string& description,
      std::function<void(const Value&, Settings*, std::vector<KeyProblem>*)>
          read) {
    Add(KeyDoc{name, type, std::move(shown_default), "", {}, description},
        std::move(read));
    return *this;
  }

  // Replaces the default the reference shows for the last key declared,
  // for a default the reader computes ("Zone #<n>").
  KeyTable& ShownDefault(std::string text) {
    doc_.keys.back().default_text = std::move(text);
    return *this;
  }

  // Marks the last key declared as one the reader requires (and checks).
  KeyTable& Required() {
    doc_.keys.back().required = true;
    return *this;
  }

  // Reads every declared key present in the map into *settings, in
  // declaration order, and returns the problems met.
  std::vector<KeyProblem> Read(const Entity& config, Settings* settings) const {
    std::vector<KeyProblem> problems;
    for (const Entry& entry : entries_)
      Apply(entry, config, settings, &problems);
    return problems;
  }
  // The same for the named keys only (each must be declared).
  std::vector<KeyProblem> ReadOnly(const Entity& config,
                                   const std::vector<std::string>& keys,
                                   Settings* settings) const {
    std::vector<KeyProblem> problems;
    for (const Entry& entry : entries_) {
      if (std::find(keys.begin(), keys.end(), entry.name) == keys.end())
        continue;
      Apply(entry, config, settings, &problems);
    }
    return problems;
  }

  const KeyTableDoc& Describe() const { return doc_; }

 private:
  using Reader =
      std::function<void(const Value&, Settings*, std::vector<KeyProblem>*)>;
  struct Entry {
    std::string name;
    KeyType type;
    Reader read;
  };

  static void Apply(const Entry& entry, const Entity& config,
                    Settings* settings, std::vector<KeyProblem>* problems) {
    const auto& properties = config.properties();
    const auto it = properties.find(entry.name);
    if (it == properties.end()) return;
    if (auto problem = key_table_internal::KindProblem(entry.name, entry.type,
                                                       it->second)) {
      problems->push_back(std::move(*problem));
    }
    entry.read(it->second, settings, problems);
  }

  void Add(KeyDoc doc, Reader read) {
    entries_.push_back(Entry{doc.name, doc.type, std::move(read)});
    doc_.keys.push_back(std::move(doc));
  }

  template <typename M>
  KeyTable& Plain(const std::string& name, KeyType type, M Settings::*member,
                  const std::string& description) {
    KeyDoc doc{name, type, key_table_internal::Text(Settings{}.*member),
               "",   {},   description};
    Add(std::move(doc), [member](const Value& value, Settings* settings,
                                 std::vector<KeyProblem>*) {
      using key_table_internal::ConvertValue;
      using talvenrook_vision::ConvertValue;
      ConvertValue(value, &(settings->*member));
    });
    return *this;
  }

  template <typename M>
  KeyTable& Number(const std::string& name, KeyType type, M Settings::*member,
                   const std::string& description, KeyBounds bounds) {
    KeyDoc doc{
        name,          type, key_table_internal::Text(Settings{}.*member),
        bounds.Text(), {},   description};
    Add(std::move(doc), [name, member, bounds](const Value& value,
                                               Settings* settings,
                                               std::vector<KeyProblem>* out) {
      using Read = std::conditional_t<
          std::is_floating_point_v<M>, M,
          std::conditional_t<(sizeof(M) > 4), int64_t, int32_t>>;
      Read read{};
      ConvertValue(value, &read);
      M& target = settings->*member;
      if (bounds.Contains(static_cast<double>(read))) {
        target = static_cast<M>(read);
        return;
      }
      if (bounds.clamp) {
        target = static_cast<M>(bounds.Clamp(static_cast<double>(read)));
      }
      if (bounds.message.empty()) return;
      out->push_back(KeyProblem{
          name, bounds.severity,
          key_table_internal::Substitute(bounds.message, name,
                                         key_table_internal::Text(read),
                                         key_table_internal::Text(target))});
    });
    return *this;
  }

  KeyTableDoc doc_;
  std::vector<Entry> entries_;
};

template <typename Settings>
template <typename E>
KeyTable<Settings>& KeyTable<Settings>::Enum(
    const std::string& name, E Settings::*member,
    std::vector<std::pair<std::string, E>> choices,
    const std::string& description, std::string unknown, KeySeverity severity) {
  KeyDoc doc{name, KeyType::kEnum, "", "", {}, description};
  const E initial = Settings{}.*member;
  for (const auto& [text, value] : choices) {
    doc.choices.push_back(text);
    if (value == initial) doc.default_text = "\"" + text + "\"";
  }
  Add(std::move(doc), [name, member, choices, unknown, severity](
                          const Value& value, Settings* settings,
                          std::vector<KeyProblem>* out) {
    std::string text;
    ConvertValue(value, &text);
    for (const auto& [choice, meaning] : choices) {
      if (choice != text) continue;
      settings->*member = meaning;
      return;
    }
    std::string kept;
    for (const auto& [choice, meaning] : choices) {
      if (meaning == settings->*member) kept = choice;
    }
    out->push_back(
        KeyProblem{name, severity,
                   key_table_internal::Substitute(unknown, name, text, kept)});
  });
  return *this;
}

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_KEY_TABLE_H_
