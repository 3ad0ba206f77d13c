// Face descriptors: fixed-length, unit-length float vectors computed by a
// network from a face crop; two crops of one face give nearby vectors.
#ifndef VISION_FACE_CLASSIFY_DESCRIPTOR_EXTRACTOR_H_
#define VISION_FACE_CLASSIFY_DESCRIPTOR_EXTRACTOR_H_

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/inference/predictor.h"

namespace talvenrook_vision {

class DescriptorExtractorInterface {
 public:
  virtual ~DescriptorExtractorInterface() = default;
  // True when a descriptor was produced into *out.
  virtual bool Describe(const cv::Mat& image, std::vector<float>* out) = 0;
  // The same descriptor as a 1 x n CV_32F row.
  virtual bool DescribeRow(const cv::Mat& image, cv::Mat* out) = 0;

 protected:
  DescriptorExtractorInterface() = default;
};

// The network's default output scaled to unit length: every value is
// multiplied by 1 / sqrt(1e-10 + sum of squares), so an all-zero output
// stays zero. An empty output (empty image, failed inference) is no
// descriptor.
class CNNDescriptorExtractor : public DescriptorExtractorInterface {
 public:
  // Requires: predictor is not null.
  explicit CNNDescriptorExtractor(std::unique_ptr<Predictor> predictor);

  bool Describe(const cv::Mat& image, std::vector<float>* out) override;
  bool DescribeRow(const cv::Mat& image, cv::Mat* out) override;

  Predictor* predictor() const { return predictor_.get(); }

  // Scales the values to unit length as above.
  static void Normalise(std::vector<float>* values);

 private:
  std::unique_ptr<Predictor> predictor_;
  std::vector<float> scratch_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_DESCRIPTOR_EXTRACTOR_H_
