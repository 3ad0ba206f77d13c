#include "tools/metrics/exposition.h"

#include <cmath>
#include <cstdint>

namespace kestu_tools {
namespace {

// A label value with backslash, double quote and line feed escaped.
std::string Escape(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

void Exposition::Family(const std::string& name, const std::string& type,
                        const std::string& help) {
  out_ << "# HELP " << name << ' ' << help << '\n'
       << "# TYPE " << name << ' ' << type << '\n';
}

void Exposition::Sample(const std::string& name, const Labels& labels,
                        double value) {
  out_ << name;
  if (!labels.empty()) {
    out_ << '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) out_ << ',';
      out_ << labels[i].first << "=\"" << Escape(labels[i].second) << '"';
    }
    out_ << '}';
  }
  out_ << ' ';
  if (std::isinf(value)) {
    out_ << (value > 0 ? "+Inf" : "-Inf");
  } else if (value == std::floor(value) && std::fabs(value) < 1e15) {
    out_ << static_cast<int64_t>(value);
  } else {
    out_ << value;
  }
  out_ << '\n';
}

}  // namespace kestu_tools
