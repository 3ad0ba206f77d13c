#include "vision/analytics/distance_estimator.h"

#include <cmath>

#include "vision/tracking/track.h"

namespace talvenrook_vision {

const KeyTable<DistanceEstimator::ObjectSize>& DistanceEstimator::SizeKeys() {
  using S = ObjectSize;
  static const KeyTable<S>* const table = [] {
    auto* t =
        new KeyTable<S>("Object size",
                        "Keys of each element of the \"object_sizes\" list of "
                        "\"distance_estimation\".");
    t->String("class", &S::class_name,
              "Class name of the detections (\"car\", \"person\").")
        .Required()
        .Double("size", &S::size,
                "Real width of such an object, in the unit of the distance "
                "(metres by default).")
        .Required();
    return t;
  }();
  return *table;
}

const KeyTable<DistanceEstimator::Settings>& DistanceEstimator::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Distance estimation",
        "Keys of the \"distance_estimation\" map: each detection's distance "
        "from the camera, from its box width. A face is 0.19 wide and a "
        "person 0.45 unless \"object_sizes\" says otherwise.");
    t->Double("f_over_s", &S::f_over_s,
              "Focal length over the sensor's pixel size, in pixels.")
        .Required()
        .Custom(
            "object_sizes", KeyType::kList, "face 0.19, person 0.45",
            "Real widths per class: maps of the \"Object size\" keys.",
            [](const Value& value, S* s, std::vector<KeyProblem>* problems) {
              for (const Value& element : value.array_value().values()) {
                const Entity& entry = AsEntity(element);
                // Required: a missing one throws, as f_over_s does.
                GetProperty(entry, "class");
                GetProperty(entry, "size");
                ObjectSize size;
                for (KeyProblem& problem : SizeKeys().Read(entry, &size))
                  problems->push_back(std::move(problem));
                s->sizes.emplace_back(size.class_name, size.size);
              }
            });
    return t;
  }();
  return *table;
}

std::unique_ptr<DistanceEstimator> DistanceEstimator::FromConfig(
    const Entity& map) {
  GetProperty(map, "f_over_s");  // required: throws when missing
  Settings settings;
  WriteKeyProblems(Keys().Read(map, &settings));
  auto estimator = std::make_unique<DistanceEstimator>(settings.f_over_s);
  for (const auto& [class_name, size] : settings.sizes) {
    estimator->SetSize(class_name, size);
  }
  return estimator;
}

DistanceEstimator::DistanceEstimator(double f_over_s)
    : f_over_s_(f_over_s), sizes_{{"face", 0.19}, {"person", 0.45}} {}

double DistanceEstimator::EstimateDistance(const cv::Rect& box,
                                           const std::string& class_name,
                                           const cv::Rect& reference) const {
  const auto size = sizes_.find(class_name);
  // A box without width would divide by zero.
  if (size == sizes_.end() || box.width <= 0) return -1.0;
  double offset = 0.0;
  if (reference.width > 0 && reference.height > 0) {
    const cv::Point d = BoxCenter(box) - BoxCenter(reference);
    offset = std::hypot(d.x, d.y);
  }
  return std::sqrt(f_over_s_ * f_over_s_ + offset * offset) * size->second /
         box.width;
}

}  // namespace talvenrook_vision
