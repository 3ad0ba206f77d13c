#include "vision/detectors/classifier_net.h"

#include <utility>

#include "vision/inference/model_keys.h"

namespace talvenrook_vision {

const Entity& ModelConfig(const Entity& model) {
  static const Entity* const kEmpty = new Entity();
  if (!HasProperty(model, "config")) return *kEmpty;
  return AsEntity(GetProperty(model, "config"));
}

ClassifierNet::ClassifierNet() = default;

ClassifierNet::~ClassifierNet() = default;

void ClassifierNet::ReadThreshold(const Entity& pipeline_config,
                                  const std::string& name) {
  ReadConfidenceThreshold(pipeline_config, name, &threshold_);
}

void ClassifierNet::Load(const Entity& model) {
  const std::string engine = RequiredModelKey(model, "engine");
  load_error_.clear();
  if (engine == "TFLITE") {
    model_.reset();
    return;
  }
  absl::StatusOr<std::unique_ptr<ClassifierModel>> loaded =
      CreateClassifierModel(model);
  if (loaded.ok()) {
    model_ = std::move(*loaded);
  } else {
    model_.reset();
    load_error_ = std::string(loaded.status().message());
  }
}

std::vector<float>* ClassifierNet::Predict(const cv::Mat& image) {
  if (!model_) return nullptr;
  std::vector<float>& output = model_->last_output();
  output = model_->predictor()->Predict(image, "");
  return &output;
}

ClassScore ClassifierNet::Run(const cv::Mat& image) {
  const std::vector<float>* output = Predict(image);
  ClassScore best{-1, 0.0f};
  if (output == nullptr) return best;
  for (size_t i = 0; i < output->size(); ++i) {
    if ((*output)[i] > best.second)
      best = {static_cast<int32_t>(i), (*output)[i]};
  }
  return best;
}

std::string ClassifierNet::Label(int32_t index) const {
  return model_ ? model_->Label(index) : "";
}

int32_t ClassifierNet::label_count() const {
  return model_ ? static_cast<int32_t>(model_->labels().size()) : 0;
}

}  // namespace talvenrook_vision
