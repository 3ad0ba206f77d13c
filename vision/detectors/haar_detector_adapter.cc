#include "vision/detectors/haar_detector_adapter.h"

#include <iostream>

namespace talvenrook_vision {
namespace {

constexpr size_t kMaxKeptResults = 5;

}  // namespace

bool HaarDetectorAdapter::Configure(const KestuEyeConfig& config,
                                    const Entity& model) {
  ModelTypeVersion type_version = TypeVersion();
  ReadPropertyIfPresent(model, "type", &type_version.first);
  ReadPropertyIfPresent(model, "version", &type_version.second);
  SetTypeVersion(type_version);
  error_.clear();
  if (!CheckRequiredProperties(model, {"type", "version", "content"})) {
    error_ = "The model needs \"type\", \"version\" and \"content\"";
    return false;
  }
  const Entity& content = AsEntity(GetProperty(model, "content"));
  Bytes cascade_bytes;
  ConvertValue(GetProperty(content, "cascade"), &cascade_bytes);
  if (HasProperty(model, "config")) {
    const Entity& c = AsEntity(GetProperty(model, "config"));
    ReadPropertyIfPresent(c, "scale_factor", &scale_factor_);
    ReadPropertyIfPresent(c, "min_neighbors", &min_neighbors_);
    ReadPropertyIfPresent(c, "min_size", &min_size_);
    ReadPropertyIfPresent(c, "max_size", &max_size_);
  }
  bool read = false;
  try {
    const std::string text(cascade_bytes.begin(), cascade_bytes.end());
    cv::FileStorage storage(text,
                            cv::FileStorage::READ | cv::FileStorage::MEMORY);
    read = storage.isOpened() && cascade_.read(storage.getFirstTopLevelNode());
  } catch (const cv::Exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    error_ = e.what();
    read = false;
  }
  if (!read) {
    std::cerr << "ERROR: Cascade definition error" << std::endl;
    error_ = error_.empty() ? "Cascade definition error"
                            : "Cascade definition error: " + error_;
    return false;
  }
  return true;
}

DetectionList HaarDetectorAdapter::Detect(const cv::Mat& frame) {
  DetectionList out;
  if (frame.empty() || cascade_.empty()) return out;
  try {
    cascade_.detectMultiScale(frame, out.boxes, scale_factor_, min_neighbors_,
                              cv::CASCADE_SCALE_IMAGE,
                              cv::Size(min_size_, min_size_),
                              cv::Size(max_size_, max_size_));
  } catch (const cv::Exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    out.Clear();
  }
  return out;
}

absl::StatusOr<bool> HaarDetectorAdapter::TryPushFrame(const cv::Mat& frame) {
  DetectionList result = Detect(frame);
  std::lock_guard<std::mutex> lock(pushed_mutex_);
  if (pushed_.size() >= kMaxKeptResults) pushed_.pop_front();
  pushed_.push_back(std::move(result));
  return true;
}

DetectionList HaarDetectorAdapter::PopDetections() {
  std::lock_guard<std::mutex> lock(pushed_mutex_);
  if (pushed_.empty()) return DetectionList();
  DetectionList result = std::move(pushed_.front());
  pushed_.pop_front();
  return result;
}

std::unique_ptr<DetectorAdapter> CreateHaarDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model) {
  std::string type;
  ConvertValue(GetProperty(model, "type"), &type);
  if (type != "HAAR" && type != "HAAR-NIGHT") return nullptr;
  auto adapter = std::make_unique<HaarDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
