// The input dimensions a network's text description names
// (OpenCVPredict::NetworkTextDimensions).
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {
namespace {

// Extracts every decimal number in `line` that is followed by a space.
void AppendNumbersFollowedBySpace(const std::string& line,
                                  std::vector<int>* out) {
  size_t i = 0;
  while (i < line.size()) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j])))
      ++j;
    const bool preceded_ok =
        i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1]));
    if (preceded_ok && j < line.size() && line[j] == ' ') {
      out->push_back(std::atoi(line.substr(i, j - i).c_str()));
    }
    i = j;
  }
}

int FirstNumber(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(line[i])))
      return std::atoi(line.c_str() + i);
  }
  return 0;
}

}  // namespace

std::vector<int> OpenCVPredict::NetworkTextDimensions(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  size_t first = 0;
  if (!lines.empty() && lines[0].find("name:") != std::string::npos) first = 1;
  std::vector<int> dims;
  if (first < lines.size() && lines[first] == "input: \"data\"") {
    for (size_t i = first + 1; i < lines.size() && dims.size() < 4; ++i) {
      if (lines[i].find("dim:") != std::string::npos)
        dims.push_back(FirstNumber(lines[i].substr(lines[i].find("dim:"))));
    }
    return dims;
  }
  for (const std::string& line : lines) {
    if (line.find("shape: ") != std::string::npos)
      AppendNumbersFollowedBySpace(line, &dims);
  }
  return dims;
}

}  // namespace talvenrook_vision
