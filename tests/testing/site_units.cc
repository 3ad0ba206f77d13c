#include "tests/testing/site_units.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestu_testing {
namespace {

std::string Trim(const std::string& s) {
  const size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  const size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream contents;
  contents << in.rdbuf();
  *text = contents.str();
  return true;
}

// The lines of a file with backslash continuations joined, without blank
// and comment lines.
std::vector<std::string> LogicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  std::string pending;
  while (std::getline(in, line)) {
    const std::string trimmed = Trim(line);
    if (pending.empty() &&
        (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';')) {
      continue;
    }
    if (!trimmed.empty() && trimmed.back() == '\\') {
      pending += trimmed.substr(0, trimmed.size() - 1) + " ";
      continue;
    }
    lines.push_back(pending + trimmed);
    pending.clear();
  }
  if (!pending.empty()) lines.push_back(Trim(pending));
  return lines;
}

// Splits at unquoted white space, removing quotes and backslash escapes.
std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < text.size()) {
        word += text[++i];
      } else {
        word += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < text.size()) {
      word += text[++i];
      in_word = true;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

bool IsName(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) {
    return false;
  }
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// What reading one unit needs: its name (for the specifiers), the test's
// path map, and where a failure's reason goes.
class UnitReader {
 public:
  UnitReader(const std::string& unit_path, const SiteUnitOptions& options,
             std::string* error)
      : options_(options), error_(error) {
    std::string name = std::filesystem::path(unit_path).filename().string();
    const size_t at = name.find("@.");
    if (at != std::string::npos) name.insert(at + 1, options.instance);
    unit_name_ = name;
  }

  // %i %I %n %N %p %%.
  bool Specifiers(const std::string& in, std::string* out) {
    out->clear();
    const std::string full = unit_name_;
    const std::string stem = full.substr(0, full.rfind('.'));
    for (size_t i = 0; i < in.size(); ++i) {
      if (in[i] != '%') {
        *out += in[i];
        continue;
      }
      const char s = i + 1 < in.size() ? in[++i] : '\0';
      switch (s) {
        case 'i':
        case 'I':
          *out += options_.instance;
          break;
        case 'n':
          *out += full;
          break;
        case 'N':
          *out += stem;
          break;
        case 'p':
          *out += stem.substr(0, stem.find('@'));
          break;
        case '%':
          *out += '%';
          break;
        default:
          return Fail("unknown specifier %" + std::string(1, s) + " in " + in);
      }
    }
    return true;
  }

  std::string MapPath(const std::string& path) const {
    if (path.empty() || path[0] != '/') return path;
    const std::pair<std::string, std::string>* best = nullptr;
    for (const auto& entry : options_.paths) {
      const std::string& from = entry.first;
      if (from.empty() || path.compare(0, from.size(), from) != 0) continue;
      const bool whole = path.size() == from.size() || from.back() == '/' ||
                         path[from.size()] == '/';
      if (whole && (best == nullptr || from.size() > best->first.size())) {
        best = &entry;
      }
    }
    if (best == nullptr) return path;
    return best->second + path.substr(best->first.size());
  }

  bool Fail(const std::string& message) {
    *error_ = message;
    return false;
  }

  const SiteUnitOptions& options_;
  std::string* error_;
  std::string unit_name_;
};

// A value of an environment file: quotes removed, what they enclose kept
// as it is, a backslash escaping the character after it.
std::string Unquote(const std::string& raw) {
  std::string value;
  char quote = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
      value += raw[++i];
    } else if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else if (c == quote) {
      quote = 0;
    } else {
      value += c;
    }
  }
  return value;
}

// KEY=VALUE lines, as systemd reads an EnvironmentFile=.
bool ReadEnvironmentFile(const std::string& path,
                         std::map<std::string, std::string>* environment) {
  std::string text;
  if (!ReadText(path, &text)) return false;
  for (const std::string& line : LogicalLines(text)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    (*environment)[Trim(line.substr(0, equals))] =
        Unquote(Trim(line.substr(equals + 1)));
  }
  return true;
}

// Expands $NAME (a word of its own: split at white space) and ${NAME}
// (inside a word: one argument).
bool ExpandCommand(const std::vector<std::string>& words,
                   const std::map<std::string, std::string>& environment,
                   std::vector<std::string>* argv, std::string* error) {
  auto lookup = [&](const std::string& name, std::string* value) {
    auto it = environment.find(name);
    if (it == environment.end()) {
      *error = "ExecStart names $" + name +
               ", which no EnvironmentFile= " + "or Environment= sets";
      return false;
    }
    *value = it->second;
    return true;
  };
  for (const std::string& word : words) {
    std::string value;
    if (word.size() > 1 && word[0] == '$' && IsName(word.substr(1))) {
      if (!lookup(word.substr(1), &value)) return false;
      for (const std::string& part : SplitWords(value)) argv->push_back(part);
      continue;
    }
    std::string expanded;
    for (size_t i = 0; i < word.size(); ++i) {
      if (word.compare(i, 2, "${") == 0) {
        const size_t close = word.find('}', i);
        if (close != std::string::npos &&
            IsName(word.substr(i + 2, close - i - 2))) {
          if (!lookup(word.substr(i + 2, close - i - 2), &value)) return false;
          expanded += value;
          i = close;
          continue;
        }
      }
      expanded += word[i];
    }
    argv->push_back(expanded);
  }
  return true;
}

void OverrideFlags(const std::map<std::string, std::vector<std::string>>& flags,
                   std::vector<std::string>* argv) {
  for (const auto& [flag, values] : flags) {
    std::vector<std::string> kept;
    for (size_t i = 0; i < argv->size(); ++i) {
      const std::string& arg = (*argv)[i];
      if (i > 0 && arg == flag) {
        if (i + 1 < argv->size() && (*argv)[i + 1].rfind("-", 0) != 0) ++i;
        continue;
      }
      if (i > 0 && arg.rfind(flag + "=", 0) == 0) continue;
      kept.push_back(arg);
    }
    for (const std::string& value : values) kept.push_back(flag + "=" + value);
    *argv = std::move(kept);
  }
}

}  // namespace

bool ReadSiteUnit(const std::string& unit_path, const SiteUnitOptions& options,
                  SiteUnit* unit, std::string* error) {
  *unit = SiteUnit();
  UnitReader reader(unit_path, options, error);
  std::string text;
  if (!ReadText(unit_path, &text)) {
    return reader.Fail("cannot read " + unit_path);
  }
  std::string section;
  std::string exec_start;
  std::vector<std::string> environment_files;  // unmapped, '-' kept
  for (const std::string& line : LogicalLines(text)) {
    if (line.front() == '[') {
      section = line;
      continue;
    }
    const size_t equals = line.find('=');
    if (section != "[Service]" || equals == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, equals));
    std::string value;
    if (!reader.Specifiers(Trim(line.substr(equals + 1)), &value)) {
      return false;
    }
    if (key == "ExecStart") {
      exec_start = value;
    } else if (key == "EnvironmentFile") {
      if (value.empty()) environment_files.clear();
      if (!value.empty()) environment_files.push_back(value);
    } else if (key == "Environment") {
      if (value.empty()) unit->environment.clear();
      for (const std::string& word : SplitWords(value)) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) {
          unit->environment[word.substr(0, eq)] = word.substr(eq + 1);
        }
      }
    } else if (key == "WorkingDirectory") {
      if (!value.empty() && value[0] == '-') value = value.substr(1);
      unit->working_directory = reader.MapPath(value);
    } else if (key == "StateDirectory") {
      if (value.empty()) unit->state_directories.clear();
      for (const std::string& dir : SplitWords(value)) {
        unit->state_directories.push_back(reader.MapPath("/var/lib/" + dir));
      }
    } else if (key == "User") {
      unit->user = value;
    } else if (key == "Group") {
      unit->group = value;
    }
  }
  if (exec_start.empty()) return reader.Fail(unit_path + " has no ExecStart=");

  for (const std::string& file : environment_files) {
    const bool optional = file[0] == '-';
    const std::string path = reader.MapPath(optional ? file.substr(1) : file);
    unit->environment_files.push_back(path);
    if (!ReadEnvironmentFile(path, &unit->environment) && !optional) {
      return reader.Fail("cannot read the EnvironmentFile " + path);
    }
  }

  const size_t start = exec_start.find_first_not_of("-@:+!");
  std::vector<std::string> argv;
  if (!ExpandCommand(SplitWords(exec_start.substr(start)), unit->environment,
                     &argv, error)) {
    return false;
  }
  if (argv.empty()) return reader.Fail(unit_path + ": ExecStart= is empty");
  for (std::string& arg : argv) {
    const size_t equals = arg.find('=');
    if (arg.rfind("-", 0) == 0 && equals != std::string::npos) {
      arg = arg.substr(0, equals + 1) + reader.MapPath(arg.substr(equals + 1));
    } else {
      arg = reader.MapPath(arg);
    }
  }
  // The test's own values, as given.
  OverrideFlags(options.flags, &argv);
  unit->argv = std::move(argv);
  return true;
}

SiteUnitOptions ShippedSiteOptions(const std::string& state_root,
                                   const std::string& instance) {
  const std::string source = KESTU_SOURCE_DIR;
  const std::string build = KESTU_BINARY_DIR;
  SiteUnitOptions options;
  options.instance = instance;
  options.paths = {{"/usr/local/bin/kestu-vision", build + "/src/kestu-vision"},
                   {"/usr/local/bin/kestu-web", build + "/tools/kestu-web"},
                   {"/usr/local/bin/kestu-mqtt", build + "/tools/kestu-mqtt"},
                   {"/var/lib/kestu", state_root},
                   {"/etc/kestu", source + "/deploy/etc/kestu"}};
  return options;
}

std::string SiteUnitPath(const std::string& file_name) {
  return std::string(KESTU_SOURCE_DIR) + "/deploy/systemd/" + file_name;
}

bool MakeSiteUnitDirectories(const SiteUnit& unit) {
  std::vector<std::string> dirs = unit.state_directories;
  if (!unit.working_directory.empty()) {
    dirs.push_back(unit.working_directory);
  }
  for (const std::string& dir : dirs) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir)) return false;
  }
  return true;
}

std::string SiteFlag(const std::vector<std::string>& argv,
                     const std::string& flag) {
  for (size_t i = 1; i < argv.size(); ++i) {
    if (argv[i].rfind(flag + "=", 0) == 0) {
      return argv[i].substr(flag.size() + 1);
    }
    if (argv[i] == flag && i + 1 < argv.size()) return argv[i + 1];
  }
  return "";
}

}  // namespace kestu_testing
