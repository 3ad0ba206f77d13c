// ObjectClassifier: a classifier that a pipeline runs on the crop of every
// tracked object and that writes its verdict into the object's detection
// (the face classifiers of a face pipeline).
//
// Load once; then, per object and frame, ClassifyRegion and Annotate. When
// a track ends, HasVote tells whether the classifier has a result for it
// and ForgetTrack drops the track. Classifiers that run one after another
// on the same detection are sorted by Order (lower first); one that needs
// an earlier classifier's result says so in AppliesTo.
#ifndef VISION_DETECTORS_OBJECT_CLASSIFIER_H_
#define VISION_DETECTORS_OBJECT_CLASSIFIER_H_

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"
#include "vision/inference/classifier_model.h"

namespace talvenrook_vision {

using RectangularDetection = ::talvenrook::vision::v1::RectangularDetection;

class ObjectClassifier {
 public:
  virtual ~ObjectClassifier() = default;

  virtual std::string Name() const = 0;
  // Reads the classifier's keys from the pipeline configuration map and
  // loads the model map (whose "config" map configures the votes).
  virtual void Load(const Entity& pipeline_config, const Entity& model) = 0;
  // Classifies the crop for the track and returns the track's current
  // label ("" when it has none). With `use_cache`, a track that already
  // holds a vote keeps it without running the network.
  virtual std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                     const cv::Rect& region,
                                     bool use_cache) = 0;
  // Writes the track's result into the detection: the recent vote when
  // `recent` is set, otherwise the vote over the track's life.
  virtual void Annotate(int32_t track_id, RectangularDetection* detection,
                        bool recent) = 0;
  virtual bool HasVote(int32_t track_id) const = 0;
  virtual void ForgetTrack(int32_t track_id) = 0;
  // The loaded network; null when none was loaded.
  virtual ClassifierModel* model() const = 0;

  virtual int Order() const { return 0; }
  virtual bool AppliesTo(const RectangularDetection& detection) const {
    return true;
  }

  bool HasModel() const { return model() != nullptr; }
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_OBJECT_CLASSIFIER_H_
