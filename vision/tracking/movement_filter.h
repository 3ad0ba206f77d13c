// Decides, for every detection box, whether its content is moving.
//
// One background model per region of interest learns from every frame; a
// box that lies entirely inside a region is moving when at least the given
// fraction of its pixels is foreground in that region's mask. A box inside
// several regions keeps the result of the last one; a box inside none is
// not moving. With no regions configured, one region covering the whole
// frame is added at the first call.
//
// Example configuration (the pipeline's "detection_movement_filter" map):
//   properties { key: "morphologic_factor" value { integer_value: 3 } }
//   properties { key: "history" value { integer_value: 1000 } }
//   properties { key: "var_threshold" value { double_value: 16.0 } }
//   properties { key: "scale_factor" value { double_value: 0.5 } }
#ifndef VISION_TRACKING_MOVEMENT_FILTER_H_
#define VISION_TRACKING_MOVEMENT_FILTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/video/background_segm.hpp>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

// "MOG2": Gaussian mixture (history, variance threshold); "KNN": nearest
// neighbours (history, squared distance threshold v * v). Any other name
// writes "Unknow method <name>" and gives null.
cv::Ptr<cv::BackgroundSubtractor> CreateBackgroundSubtractor(
    const std::string& method, int history, double threshold,
    bool detect_shadows);

class MovementFilter {
 public:
  // The keys of the "detection_movement_filter" map.
  struct Settings {
    int32_t morphologic_factor = 0;
    int32_t history = 1000;
    double var_threshold = 16.0;
    double scale_factor = 0.5;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  // Reads the filter map and builds one "KNN" model (no shadows) per ROI.
  void Configure(const Entity& config, const std::vector<cv::Rect>& rois);

  // One flag per box; `frame` is 8-bit grey. Valid until the next call.
  const std::vector<bool>& Moving(const cv::Mat& frame,
                                  const std::vector<cv::Rect>& boxes,
                                  double fraction);

  const std::vector<cv::Rect>& rois() const { return rois_; }
  // The foreground mask of ROI i after the last call (for inspection).
  const cv::Mat& mask(size_t i) const { return masks_[i]; }

 private:
  cv::Ptr<cv::BackgroundSubtractor> NewModel() const;
  // Updates ROI i's model and mask; returns the ROI clipped to the frame.
  cv::Rect ModelRoi(size_t index, const cv::Mat& frame);
  double BoxForeground(const cv::Rect& box, const cv::Rect& roi,
                       const cv::Mat& mask) const;

  std::vector<cv::Rect> rois_;
  std::vector<cv::Ptr<cv::BackgroundSubtractor>> models_;
  std::vector<cv::Mat> masks_;
  int32_t morphologic_factor_ = 0;
  int32_t history_ = 1000;
  double var_threshold_ = 16.0;
  double scale_factor_ = 0.5;
  cv::Mat kernel_;
  cv::Mat scaled_;  // scratch
  std::vector<bool> flags_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_MOVEMENT_FILTER_H_
