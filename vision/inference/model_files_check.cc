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

bool ReadModelFile(const std::string& path, std::string* bytes,
                   std::string* error) {
  bytes->clear();
  if (path.empty()) return true;
  const std::string problem = ModelFileProblem(path);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  try {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      bytes->assign(std::istreambuf_iterator<char>(in),
                    std::istreambuf_iterator<char>());
      return true;
    }
  } catch (const std::exception& e) {
    *error = "Cannot read the model file \"" + path + "\": " + e.what();
    return false;
  }
  *error = "Cannot read the model file \"" + path + "\"";
  return false;
}

SetupStatus CheckModelFiles(const Entity& model) {
  const std::string name = GetPropertyOr(model, "type", "") + ":" +
                           GetPropertyOr(model, "version", "");
  auto fail = [&name](const std::string& reason) {
    return SetupStatus::Error("Could not load the model " + name + ": " +
                              reason);
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
  return SetupStatus::Ok();
}

}  // namespace talvenrook_vision
