#include "vision/inference/darknet_text_check.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace talvenrook_vision {
namespace {

struct Section {
  std::string type;
  std::map<std::string, std::string> values;
};

// The characters the reader keeps of a line.
std::string Printable(const std::string& line) {
  std::string kept;
  for (char c : line) {
    if (c > ' ' && c <= 'z') kept += c;
  }
  return kept;
}

std::vector<Section> ReadSections(const std::string& text, Section* net) {
  std::vector<Section> layers;
  Section* current = nullptr;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    const std::string line = Printable(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t end = line.find(']');
      const std::string type = line.substr(
          1, end == std::string::npos ? std::string::npos : end - 1);
      if (type == "net") {
        current = net;
      } else {
        layers.push_back(Section{type, {}});
        current = &layers.back();
      }
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || current == nullptr) continue;
    current->values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return layers;
}

// The comma-separated numbers of a value; false for a token that is not a
// number or whose magnitude exceeds `limit`.
bool Numbers(const std::string& value, long limit, std::vector<long>* out) {
  std::istringstream in(value);
  for (std::string token; std::getline(in, token, ',');) {
    if (token.empty()) continue;
    errno = 0;
    char* end = nullptr;
    const double number = std::strtod(token.c_str(), &end);
    if (end == token.c_str()) return false;
    if (errno == ERANGE || number > limit || number < -limit) return false;
    out->push_back(static_cast<long>(number));
  }
  return true;
}

class Checker {
 public:
  std::string Check(const std::string& text) {
    Section net;
    const std::vector<Section> layers = ReadSections(text, &net);
    if (!CheckNumbers(net, "[net]")) return reason_;
    for (size_t i = 0; i < layers.size(); ++i) {
      where_ = "layer #" + std::to_string(i) + " [" + layers[i].type + "]";
      if (!CheckNumbers(layers[i], where_) ||
          !CheckLayer(layers[i], static_cast<long>(i)))
        return reason_;
    }
    return "";
  }

 private:
  bool Refuse(const std::string& why) {
    reason_ = "Darknet network text: " + why;
    return false;
  }

  bool CheckNumbers(const Section& section, const std::string& where) {
    // The integers the reader builds the network from (training settings
    // such as "max_batches" are not read).
    static const char* const kShapeKeys[] = {
        "width",  "height",   "channels", "size",   "pad",     "padding",
        "stride", "filters",  "groups",   "output", "classes", "num",
        "coords", "classfix", "from",     "layers", "mask"};
    for (const char* shape_key : kShapeKeys) {
      auto it = section.values.find(shape_key);
      if (it == section.values.end()) continue;
      const std::string& key = it->first;
      const std::string& value = it->second;
      const long limit = (key == "filters" || key == "output")
                             ? kMaxDarknetFilters
                             : kMaxDarknetNumber;
      std::vector<long> numbers;
      if (!Numbers(value, limit, &numbers)) {
        return Refuse(where + " \"" + key + "\" = " + value.substr(0, 40) +
                      " is out of range (at most " + std::to_string(limit) +
                      ")");
      }
    }
    return true;
  }

  long Int(const Section& s, const std::string& key, long absent) {
    auto it = s.values.find(key);
    if (it == s.values.end()) return absent;
    std::vector<long> numbers;
    Numbers(it->second, kMaxDarknetNumber, &numbers);
    return numbers.empty() ? 0 : numbers[0];
  }

  bool AtLeastOne(const Section& s, const std::string& key, long absent) {
    if (Int(s, key, absent) >= 1) return true;
    return Refuse(where_ + " \"" + key + "\" must be at least 1");
  }

  // A layer index as the reader resolves it: negative counts back from
  // the current layer.
  bool EarlierLayer(long index, long current, const std::string& key) {
    const long resolved = index >= 0 ? index : index + current;
    if (resolved >= 0 && resolved < current) return true;
    return Refuse(where_ + " \"" + key + "\" names layer " +
                  std::to_string(index) + ", which does not come before it");
  }

  bool CheckLayer(const Section& s, long index) {
    if (s.type == "convolutional") {
      return AtLeastOne(s, "size", -1) && AtLeastOne(s, "stride", 1) &&
             AtLeastOne(s, "groups", 1);
    }
    if (s.type == "maxpool")
      return AtLeastOne(s, "size", 2) && AtLeastOne(s, "stride", 2);
    if (s.type == "reorg" || s.type == "upsample") {
      return AtLeastOne(s, "stride", s.type == "reorg" ? 2 : 1);
    }
    if (s.type == "route") {
      auto it = s.values.find("layers");
      std::vector<long> layers;
      if (it != s.values.end()) Numbers(it->second, kMaxDarknetNumber, &layers);
      if (layers.empty()) return Refuse(where_ + " has no \"layers\"");
      for (long layer : layers) {
        if (!EarlierLayer(layer, index, "layers")) return false;
      }
      return true;
    }
    if (s.type == "shortcut" || s.type == "scale_channels") {
      if (s.values.count("from") == 0)
        return Refuse(where_ + " has no \"from\"");
      return EarlierLayer(Int(s, "from", 0), index, "from");
    }
    if (s.type == "yolo") {
      const long anchors = Int(s, "num", -1);
      auto it = s.values.find("mask");
      std::vector<long> mask;
      if (it != s.values.end()) Numbers(it->second, kMaxDarknetNumber, &mask);
      for (long m : mask) {
        if (m < 0 || m >= anchors) {
          return Refuse(where_ + " \"mask\" index " + std::to_string(m) +
                        " is not one of its " + std::to_string(anchors) +
                        " anchors");
        }
      }
    }
    return true;
  }

  std::string where_;
  std::string reason_;
};

}  // namespace

std::string CheckDarknetText(const std::string& text) {
  Checker checker;
  return checker.Check(text);
}

}  // namespace talvenrook_vision
