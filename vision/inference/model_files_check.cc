#include "vision/inference/model_files_check.h"

#include <filesystem>
#include <fstream>

#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

std::string ModelFileProblem(const std::string& path) {
  std::error_code code;
  const std::string prefix = "Cannot read the model file \"" + path + "\": ";
  if (!std::filesystem::exists(path, code)) return prefix + "no such file";
  if (!std::filesystem::is_regular_file(path, code)) {
    return prefix + "not a regular file";
  }
  if (!std::ifstream(path, std::ios::binary))
    return prefix + "cannot be opened";
  return "";
}

absl::StatusOr<std::string> ReadModelFile(const std::string& path) {
  if (path.empty()) return std::string();
  const std::string problem = ModelFileProblem(path);
  if (!problem.empty()) return SetupError(problem);
  try {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      return std::string(std::istreambuf_iterator<char>(in),
                         std::istreambuf_iterator<char>());
    }
  } catch (const std::exception& e) {
    return SetupError("Cannot read the model file \"" + path +
                      "\": " + e.what());
  }
  return SetupError("Cannot read the model file \"" + path + "\"");
}

absl::Status CheckModelFiles(const Entity& model) {
  const std::string name = GetPropertyOr(model, "type", "") + ":" +
                           GetPropertyOr(model, "version", "");
  auto fail = [&name](const std::string& reason) {
    return SetupError("Could not load the model " + name + ": " + reason);
  };
  for (const char* section : {"content", "config"}) {
    if (!HasProperty(model, section)) continue;
    const Entity& map = AsEntity(GetProperty(model, section));
    if (std::string(section) == "content") {
      for (const char* key :
           {"prototxt_file", "caffemodel_file", "input_mean_file"}) {
        const std::string path = GetPropertyOr(map, key, "");
        if (path.empty()) continue;
        const std::string problem = ModelFileProblem(path);
        if (!problem.empty()) return fail(problem);
      }
    }
    cv::Size size;
    if (ReadPropertyIfPresent(map, "input_size", &size) &&
        !OpenCVPredict::InputSizeAllowed(size)) {
      return fail("The input size " + std::to_string(size.width) + " x " +
                  std::to_string(size.height) + " is out of range");
    }
  }
  return absl::OkStatus();
}

}  // namespace talvenrook_vision
