#include "vision/inference/classifier_model.h"

#include <utility>

#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {

ClassifierModel::ClassifierModel(std::unique_ptr<Predictor> predictor,
                                 std::vector<std::string> labels)
    : predictor_(std::move(predictor)), labels_(std::move(labels)) {}

std::string ClassifierModel::Label(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= labels_.size()) return "";
  return labels_[index];
}

absl::StatusOr<std::unique_ptr<ClassifierModel>> CreateClassifierModel(
    const Entity& model) {
  absl::StatusOr<std::unique_ptr<OpenCVPredict>> predictor =
      CreatePredictor(model);
  if (!predictor.ok()) return predictor.status();
  return std::make_unique<ClassifierModel>(std::move(*predictor),
                                           ReadModelParameters(model).labels);
}

}  // namespace talvenrook_vision
