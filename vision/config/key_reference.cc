#include "vision/config/key_reference.h"

#include <sstream>

namespace talvenrook_vision {
namespace {

// A table cell: pipes escaped, so that a description cannot split a row.
std::string Cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

std::string TypeCell(const KeyDoc& key) {
  if (key.type != KeyType::kEnum) return KeyTypeName(key.type);
  std::string out = KeyTypeName(key.type);
  for (size_t i = 0; i < key.choices.size(); ++i) {
    out += (i == 0 ? " " : ", ") + ("`" + key.choices[i] + "`");
  }
  return out;
}

std::string Code(const std::string& text) {
  return text.empty() ? std::string() : "`" + text + "`";
}

}  // namespace

std::string ConfigurationReference(const std::vector<KeyTableDoc>& tables) {
  std::ostringstream out;
  out << "# Configuration keys\n\n"
      << "The keys of a pipeline's configuration map that the components "
         "below read, with their\ntype, default and bounds. A key that is "
         "absent keeps its default; a value of another\nkind reads as the "
         "type's zero value (false, 0, an empty string).\n\n"
      << "This file is generated from the components' key tables; do not "
         "edit it by hand.\nRegenerate it with:\n\n"
      << "    cmake --build build --target make-config-reference\n"
      << "    build/tools/make-config-reference docs/configuration.md\n";
  for (const KeyTableDoc& table : tables) {
    out << "\n## " << table.component << "\n\n";
    if (!table.summary.empty()) out << table.summary << "\n\n";
    out << "| Key | Type | Default | Bounds | Description |\n"
        << "| --- | --- | --- | --- | --- |\n";
    for (const KeyDoc& key : table.keys) {
      out << "| `" << key.name << "` | " << Cell(TypeCell(key)) << " | "
          << (key.required ? "required" : Cell(Code(key.default_text))) << " | "
          << Cell(key.bounds_text) << " | " << Cell(key.description) << " |\n";
    }
  }
  return out.str();
}

}  // namespace talvenrook_vision
