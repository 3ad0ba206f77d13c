#include "vision/detectors/haar_detector_adapter.h"

#include "vision/config/setup_notes.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

constexpr size_t kMaxKeptResults = 5;

}  // namespace

bool HaarDetectorAdapter::Configure(const KestuEyeConfig& config,
                                    const Entity& model) {
  ModelKeys named;
  named.type = TypeVersion().first;
  named.version = TypeVersion().second;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(model, {"type", "version"}, &named));
  SetTypeVersion({named.type, named.version});
  error_.clear();
  if (!CheckRequiredProperties(model, {"type", "version", "content"})) {
    error_ = "The model needs \"type\", \"version\" and \"content\"";
    return false;
  }
  const Entity& content = AsEntity(GetProperty(model, "content"));
  GetProperty(content, "cascade");  // required
  ModelKeys keys;
  keys.scale_factor = scale_factor_;
  keys.min_neighbors = min_neighbors_;
  keys.min_size = min_size_;
  keys.max_size = max_size_;
  WriteKeyProblems(ModelKeyTable().ReadOnly(content, {"cascade"}, &keys));
  if (HasProperty(model, "config")) {
    WriteKeyProblems(ModelKeyTable().ReadOnly(
        AsEntity(GetProperty(model, "config")), HaarConfigKeys(), &keys));
  }
  scale_factor_ = keys.scale_factor;
  min_neighbors_ = keys.min_neighbors;
  min_size_ = keys.min_size;
  max_size_ = keys.max_size;
  const Bytes& cascade_bytes = keys.cascade;
  bool read = false;
  try {
    const std::string text(cascade_bytes.begin(), cascade_bytes.end());
    cv::FileStorage storage(text,
                            cv::FileStorage::READ | cv::FileStorage::MEMORY);
    read = storage.isOpened() && cascade_.read(storage.getFirstTopLevelNode());
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    error_ = e.what();
    read = false;
  }
  if (!read) {
    NoteError("Cascade definition error");
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
    NoteError(e.what());
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
  const std::string type = RequiredModelKey(model, "type");
  if (type != "HAAR" && type != "HAAR-NIGHT") return nullptr;
  auto adapter = std::make_unique<HaarDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
