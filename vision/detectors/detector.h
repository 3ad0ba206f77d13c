// Detector: one per-object classifier (day/night, family car, is-vehicle,
// the face classifiers).
//
// Pipelines call Load once; then per object and frame ClassifyRegion or
// Classify, Label and VoteUncertainty; ForgetTrack when a track ends. The
// base class classifies nothing; BaseDetector runs a ClassifierModel.
#ifndef VISION_DETECTORS_DETECTOR_H_
#define VISION_DETECTORS_DETECTOR_H_

#include <cstdint>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"

namespace talvenrook_vision {

using RectangularDetection = ::talvenrook::vision::v1::RectangularDetection;
// (class index, confidence); (-1, 0.0) when nothing was recognised.
using ClassScore = std::pair<int32_t, float>;

class Detector {
 public:
  virtual ~Detector() = default;

  // Calls LoadModel(model), then Configure with the model's "config" map
  // (an empty map when it has none).
  virtual void Load(const Entity& pipeline_config, const Entity& model);
  virtual void LoadModel(const Entity& model) {}
  virtual void Configure(const Entity& config) {}
  virtual std::string Classify(const cv::Mat& frame, int32_t track_id,
                               bool skip) {
    return "";
  }
  virtual std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                     const cv::Rect& region, bool use_cache) {
    return "";
  }
  virtual ClassScore RunClassifier(const cv::Mat& image, int32_t track_id) {
    return {-1, 0.0f};
  }
  virtual void AddVote(int32_t track_id, const ClassScore& result) {}
  virtual void ForgetTrack(int32_t track_id) {}
  virtual std::string Label(int32_t track_id, bool recent) { return ""; }
  virtual bool HasVote(int32_t track_id) const { return false; }
  // From 0 (certain) to 1 (uncertain).
  virtual float VoteUncertainty(int32_t track_id) const { return 1.0f; }
  // Writes the classifier's field into a detection.
  virtual void Annotate(int32_t track_id, RectangularDetection* detection,
                        bool recent) {}
  virtual std::string Name() const { return "general"; }
  // Sort key among sibling classifiers, lower first.
  virtual int Order() const { return 0; }
  virtual bool AppliesTo(const RectangularDetection& detection) const {
    return true;
  }

  bool voting_enabled() const { return voting_enabled_; }

 protected:
  Detector() = default;

  bool voting_enabled_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_DETECTOR_H_
