#include "vision/face/classify/descriptor_extractor.h"

#include <cmath>
#include <utility>

namespace talvenrook_vision {

CNNDescriptorExtractor::CNNDescriptorExtractor(
    std::unique_ptr<Predictor> predictor)
    : predictor_(std::move(predictor)) {}

void CNNDescriptorExtractor::Normalise(std::vector<float>* values) {
  double sum = 1e-10;
  for (float v : *values) sum += static_cast<double>(v) * v;
  const float factor = static_cast<float>(1.0 / std::sqrt(sum));
  for (float& v : *values) v *= factor;
}

bool CNNDescriptorExtractor::Describe(const cv::Mat& image,
                                      std::vector<float>* out) {
  *out = predictor_->Predict(image, "");
  if (out->empty()) return false;
  Normalise(out);
  return true;
}

bool CNNDescriptorExtractor::DescribeRow(const cv::Mat& image, cv::Mat* out) {
  if (!Describe(image, &scratch_)) {
    out->release();
    return false;
  }
  out->create(1, static_cast<int>(scratch_.size()), CV_32F);
  std::copy(scratch_.begin(), scratch_.end(), out->ptr<float>());
  return true;
}

}  // namespace talvenrook_vision
