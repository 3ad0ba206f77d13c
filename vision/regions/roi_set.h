// RoiSet: the regions of interest of a camera, each with a day and a night
// detector adapter, switched together when the NightSolution's verdict
// changes.
//
// Detect runs every region's active adapter on its crop and returns one
// DetectionList per region, in region order, with boxes in frame pixels
// and the region index set (an empty list for a region without adapter).
// PushFrame (producer thread) and PopDetections (consumer thread) split the
// same work in two: PushFrame hands each region's crop to its adapter and
// returns what the pop will need (which adapter took it, the crop), which
// the caller hands to PopDetections, in push order. Day/night switching
// happens on the producer side.
//
// Day or night: the set judges each frame itself with its own
// NightSolution, or, configured with judge_day_night false, takes the
// verdict it is given with each frame (the pipeline's one preprocessing
// stage judged it) and then neither loads a day/night classifier nor draws
// an indicator of its own.
//
// Example pipeline configuration:
//   properties { key: "use_night_solution" value { boolean_value: true } }
//   properties { key: "rois" value { array_value {
//     values { entity_value {
//       properties { key: "x" value { integer_value: 0 } }
//       properties { key: "y" value { integer_value: 0 } }
//       properties { key: "width" value { integer_value: 640 } }
//       properties { key: "height" value { integer_value: 360 } } } } } } }
// with models of types "SSD" and "SSD-NIGHT" in the configuration's models.
#ifndef VISION_REGIONS_ROI_SET_H_
#define VISION_REGIONS_ROI_SET_H_

#include <atomic>
#include <memory>
#include <vector>

#include "absl/status/status.h"
#include "vision/config/setup_status.h"
#include "vision/exec/task_runner.h"
#include "vision/regions/night_solution.h"
#include "vision/regions/roi.h"

namespace talvenrook_vision {

class RoiSet {
 public:
  // What PushFrame made of one frame, for PopDetections.
  struct Pushed {
    std::vector<PendingFrame> regions;  // one entry per region
    absl::Status refused;  // OpenCV's reason when it refused a crop
  };

  // The verdict argument that asks the set to judge the frame itself.
  static constexpr int kJudge = -1;

  // Fails, naming the region and the model, when a model that a region
  // (or the day/night classifier) uses cannot be loaded.
  absl::Status Configure(const KestuEyeConfig& config,
                         bool judge_day_night = true);
  // `run`, when given, has one entry per region: a region whose entry is 0
  // is not detected on this frame (an empty list; for PushFrame an empty
  // pending entry, so that the pops stay in step). `moment` is the frame's
  // verdict (NightSolution::kOff keeps the models as they are), or kJudge.
  std::vector<DetectionList> Detect(const cv::Mat& frame,
                                    const std::vector<char>* run = nullptr,
                                    int moment = kJudge);
  // A region whose push failed (OpenCV refused its crop: `refused`) has
  // an empty entry, which pops as an empty list.
  Pushed PushFrame(const cv::Mat& frame, const std::vector<char>* run = nullptr,
                   int moment = kJudge);
  // Every region's rectangle in a frame of this size.
  std::vector<cv::Rect> Regions(const cv::Size& frame_size) const;
  // The lists of a pushed frame, one per region, each taken from the
  // adapter that received the region's crop (whether or not day and night
  // switched since). Requires: the frames pushed before were popped. A
  // region whose push OpenCV refused gives an empty list with that reason.
  std::vector<DetectionList> PopDetections(const Pushed& pushed);
  // Where the regions' pushed frames are detected. Requires: after
  // Configure, nothing pushed yet.
  void SetTaskRunner(const std::shared_ptr<TaskRunner>& runner);
  void Draw(cv::Mat& frame) const;

  int moment() const { return moment_.load(); }
  const NightSolution& night_solution() const { return night_; }
  const std::vector<std::unique_ptr<Roi>>& rois() const { return rois_; }

 private:
  // Switches the regions' models to the verdict (judged here for kJudge).
  void SwitchDayNight(const cv::Mat& frame, int moment);
  // The first failure of the day/night classifier or of a region's models.
  absl::Status LoadStatus(const absl::Status& night) const;

  NightSolution night_;
  bool judges_ = true;  // judges the frames itself
  std::vector<std::unique_ptr<Roi>> rois_;
  std::atomic<int> moment_{NightSolution::kDay};
};

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_ROI_SET_H_
