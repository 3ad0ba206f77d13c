// NightSolution: judges for each frame whether it is day or night, and
// draws the verdict.
//
// The verdict comes from a DayNightDetector when the configuration brings a
// "DAY-NIGHT" model (engine "CAFFE") and "use_day_night_classifier" is on,
// otherwise from the grey levels: night when more than half of the pixels
// of the (resized) image are darker than "threshold_day_night" x 255. The
// image is the "day_night_area" of the frame when it has a positive size.
//
// Example pipeline configuration:
//   properties { key: "use_night_solution" value { boolean_value: true } }
//   properties { key: "use_day_night_classifier" value { boolean_value: false }
//   } properties { key: "threshold_day_night" value { double_value: 0.25 } }
//   properties { key: "reverse_day_night" value { boolean_value: false } }
//   properties { key: "histogram_size_image" value { size_value { width: 50
//   height: 50 } } } properties { key: "day_night_area" value { entity_value {
//     properties { key: "x" value { integer_value: 0 } }
//     properties { key: "y" value { integer_value: 0 } }
//     properties { key: "width" value { integer_value: 320 } }
//     properties { key: "height" value { integer_value: 100 } } } } }
//   properties { key: "draw_moment_of_day" value { boolean_value: true } }
#ifndef VISION_REGIONS_NIGHT_SOLUTION_H_
#define VISION_REGIONS_NIGHT_SOLUTION_H_

#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "vision/config/key_table.h"
#include "vision/config/setup_status.h"
#include "vision/detectors/detector_adapter.h"
#include "vision/regions/day_night_detector.h"

namespace talvenrook_vision {

class NightSolution {
 public:
  static constexpr int kOff = 0;
  static constexpr int kDay = 1;
  static constexpr int kNight = 2;

  // The keys of the pipeline's config map; the night keys (all but the
  // first two) are read only when "use_night_solution" is present.
  struct Settings {
    bool draw_moment_of_day = true;
    bool use_night_solution = false;
    bool use_day_night_classifier = true;
    bool reverse_day_night = false;
    float threshold_day_night = 0.25f;
    cv::Size histogram_size_image{50, 50};
    Entity day_night_area;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  // Missing "engine", "type" or area members raise MissingPropertyError.
  // Fails when a "DAY-NIGHT" model that would be used cannot be loaded.
  absl::Status Configure(const KestuEyeConfig& config);
  // kOff when the night solution is off, else kDay or kNight.
  int Judge(const cv::Mat& frame);
  void Draw(cv::Mat& frame, int moment) const;
  // The text that Draw writes for a moment.
  std::string MomentText(int moment) const;

  bool enabled() const { return use_night_solution_; }
  bool has_classifier() const { return classifier_ != nullptr; }

 private:
  bool JudgeByHistogram(const cv::Mat& image);
  void ReadNightKeys(const Entity& pipeline, Settings* settings);

  bool draw_moment_of_day_ = true;
  bool use_night_solution_ = false;
  bool use_day_night_classifier_ = true;
  bool reverse_day_night_ = false;
  float threshold_ = 0.25f;
  cv::Rect area_;
  cv::Size histogram_size_{50, 50};
  std::unique_ptr<DayNightDetector> classifier_;
  // Scratch images.
  cv::Mat image_;
  cv::Mat resized_;
  cv::Mat grey_;
  cv::Mat histogram_;
};

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_NIGHT_SOLUTION_H_
