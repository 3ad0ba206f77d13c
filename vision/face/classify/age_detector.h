// AgeDetector: age in years from a network whose first output is the age;
// AgeClassDetector: age class from a 4-class full-body network.
//
// Both vote per track. Annotate writes an AGE recognition with the age and
// its age class: the recent mode of the votes when `recent` is set,
// otherwise their mean ("tracker_age_use_mean") or their all-time mode;
// without voting, the last stored result. AgeDetector raises the age to
// "min_reported_age".
//
// Keys: "tracker_age_use_mean" (boolean, false) and "min_reported_age"
// (integer, 0) from the pipeline configuration map; "tracker_num_classes"
// and "tracker_num_recent" from the model's "config". The vote always has
// at least the classifier's class count (120 ages, 4 age classes):
//   pipeline config: properties { key: "tracker_age_use_mean"
//                                 value { boolean_value: true } }
//   model config:    properties { key: "tracker_num_recent"
//                                 value { integer_value: 5 } }
#ifndef VISION_FACE_CLASSIFY_AGE_DETECTOR_H_
#define VISION_FACE_CLASSIFY_AGE_DETECTOR_H_

#include <cstdint>
#include <string>

#include "vision/detectors/base_detector.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

class AgeDetector : public BaseDetector {
 public:
  static constexpr int32_t kAgeClasses = 120;

  AgeDetector() : AgeDetector(kAgeClasses) {}

  std::string Name() const override { return "age"; }
  // Reads the pipeline keys and writes "Use mean for age: " 0 or 1, then
  // loads as BaseDetector.
  void Load(const Entity& pipeline_config, const Entity& model) override;
  void Configure(const Entity& config) override;
  // The first output truncated to an integer, with confidence 1.0.
  ClassScore RunClassifier(const cv::Mat& image, int32_t track_id) override;
  // Runs the network (unless use_cache is set and the track has a vote),
  // limits the result to the vote's classes (below 1 counts as 0), stores
  // it for the track and votes it.
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;

  // The voted class (recent mode, mean or mode; the stored result without
  // voting), or -1 when the track has none.
  int32_t VotedIndex(int32_t track_id, bool recent) const;

  int32_t class_count() const { return class_count_; }
  bool use_mean() const { return use_mean_; }
  int32_t min_reported_age() const { return min_reported_age_; }

 protected:
  explicit AgeDetector(int32_t class_count) : class_count_(class_count) {}

  // True when the last RunClassifier produced an output.
  bool HasOutput() const;

  int32_t class_count_;
  bool use_mean_ = false;
  int32_t min_reported_age_ = 0;
};

// Full-body age class: the index of the largest of 4 outputs; Annotate maps
// 0 to 40 years ADULT, 1 to 7 years CHILDREN, 2 to 78 years SENIOR and any
// other class to -1 and AGE_CLASS_NOT_DEFINED.
class AgeClassDetector : public AgeDetector {
 public:
  static constexpr int32_t kAgeClassClasses = 4;

  AgeClassDetector() : AgeDetector(kAgeClassClasses) {}

  std::string Name() const override { return "age-class"; }
  ClassScore RunClassifier(const cv::Mat& image, int32_t track_id) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_AGE_DETECTOR_H_
