// PicoEngine: runs pico cascades over a grey frame at a list of window
// sizes, clusters the passing windows and keeps the strong clusters.
//
// Window sizes go from "detector_max_scale" down to "detector_min_scale" in
// "detector_number_of_scale" steps of the same ratio (with the defaults:
// 240, 185, 142, 110, 84, 65, 50, 38, 30). Windows are centred every
// max(1, size x "detector_stride_factor") pixels inside each search region.
// Overlapping windows (intersection over the smaller area above 0.3) form
// clusters, transitively; a cluster is the mean box of its members with the
// sum of their scores, and is kept when that sum is at least
// "detector_qcutoff".
//
// Optimized scales ("detector_optimize_scales", default on): the engine
// keeps a decaying count of the window size of every kept cluster. Once it
// has seen faces, it scans only the sizes between the smallest and the
// largest size that found them, widened by one size on each side, and
// drops a size closer than min(lo / 5, 10) pixels to one already taken. A
// full scan (every size) runs while the counts are empty and whenever the
// caller asks for it (the adapter does on its whole-frame frames), so that
// faces of other sizes are found again.
//
// Example configuration (pipeline config map):
//   properties { key: "detector_min_scale" value { integer_value: 40 } }
//   properties { key: "detector_qcutoff" value { double_value: 20.0 } }
//
// Not thread-safe: one detection thread.
#ifndef VISION_FACE_DETECT_PICO_ENGINE_H_
#define VISION_FACE_DETECT_PICO_ENGINE_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/face/detect/pico_cascade.h"

namespace talvenrook_vision {

struct PicoDetection {
  cv::Rect box;
  float score = 0.0f;
  int32_t scale_index = -1;  // index in the scale list, with optimize on
};

class PicoEngine {
 public:
  struct Parameters {
    bool optimize_scales = true;
    int32_t min_scale = 30;
    int32_t max_scale = 240;
    int32_t number_of_scales = 9;
    double stride_factor = 0.12;
    double qcutoff = 0.1;
  };
  // Clustering overlap threshold (intersection over the smaller area).
  static constexpr double kClusterOverlap = 0.3;

  // Reads the "detector_*" keys above (absent keys keep the defaults).
  void Configure(const Entity& config);
  void Configure(const Parameters& parameters);
  void AddCascade(PicoCascade cascade) {
    cascades_.push_back(std::move(cascade));
  }
  void ClearCascades() { cascades_.clear(); }

  // Faces of the grey frame whose windows are centred inside the regions.
  // `full_scan` scans every size whatever the statistics say.
  const std::vector<PicoDetection>& Detect(const cv::Mat& grey,
                                           const std::vector<cv::Rect>& regions,
                                           bool full_scan);

  // The sizes, largest first; the active sizes of the last Detect.
  const std::vector<int32_t>& scales() const { return scales_; }
  const std::vector<int32_t>& active_scales() const { return active_; }
  const Parameters& parameters() const { return parameters_; }
  size_t cascade_count() const { return cascades_.size(); }
  // Windows evaluated by the last Detect.
  int64_t windows_evaluated() const { return windows_; }

  // The scale list for the parameters (largest first).
  static std::vector<int32_t> ScaleList(int32_t min_scale, int32_t max_scale,
                                        int32_t count);
  // Connected groups of the overlap relation; one box per group (mean of
  // members, summed scores, scale of the best member).
  static void Cluster(const std::vector<PicoDetection>& candidates,
                      std::vector<PicoDetection>* clusters);

 private:
  void ChooseActiveScales(bool full_scan);
  void Scan(const cv::Mat& grey, const cv::Rect& region, int32_t scale_index,
            const PicoCascade& cascade);
  void UpdateStatistics();

  Parameters parameters_;
  std::vector<PicoCascade> cascades_;
  std::vector<int32_t> scales_;
  std::vector<int32_t> active_;          // sizes scanned by the last Detect
  std::vector<int32_t> active_indexes_;  // their indexes in scales_
  std::vector<double> scale_counts_;     // decaying kept-cluster counts
  std::vector<PicoDetection> candidates_;
  std::vector<PicoDetection> detections_;
  int64_t windows_ = 0;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_PICO_ENGINE_H_
