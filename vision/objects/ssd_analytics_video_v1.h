// SSDAnalyticsVideoV1: the generic object pipeline. It detects objects in
// each region of interest (SSD, Faster R-CNN, YOLO and, when registered,
// Haar adapters), keeps the wanted classes, suppresses overlapping boxes,
// follows the objects with one Tracker per region, votes a stable class per
// track, turns track movements into zone and area events, optionally
// estimates each object's distance, and writes it all into a VisionResult.
// The crowd and vehicle pipelines own one and wrap it.
//
// Per region and frame, with tracking on: the filtered detections update
// the region's tracker; every confirmed track gives a RectangularDetection
// (tracking_id, box, voted class, best score) and its zone and area events;
// a pipeline without zones and areas also reports every ended track with a
// ROI exit event ("ROI #n", FORWARD). With tracking off the filtered
// detections are reported as they are, without tracking ids.
//
// Example pipeline configuration (config map; models as for RoiSet):
//   properties { key: "indexes_to_filter" value { array_value {
//     values { string_value: "person" } } } }
//   properties { key: "enable_tracker" value { boolean_value: true } }
//   properties { key: "zones" value { array_value { values { entity_value {
//     properties { key: "name" value { string_value: "Walkway" } }
//     properties { key: "A" value { entity_value {
//       properties { key: "x" value { integer_value: 400 } }
//       properties { key: "y" value { integer_value: 150 } } } } }
//     properties { key: "B" value { entity_value {
//       properties { key: "x" value { integer_value: 400 } }
//       properties { key: "y" value { integer_value: 450 } } } } }
//     properties { key: "height" value { integer_value: 30 } }
//     properties { key: "meter_pixel_ratio" value { double_value: 0.02 } }
//   } } } } }
//
// One path for every frame: Begin starts it (the regions' check and the
// motion gate's decision) and has the regions detect on it, at once or,
// for a frame begun ahead, by pushing it to their detectors; Finish takes
// the lists (popping them for a pushed frame) and finishes the frame
// (filtering, tracking, events), timed with Begin's share.
//
// Threads: Setup and Draw on one thread at a time; Begin may run on a
// producer thread while Finish and Draw run on the consumer thread.
// Trackers, zones and votes are touched only by Finish.
#ifndef VISION_OBJECTS_SSD_ANALYTICS_VIDEO_V1_H_
#define VISION_OBJECTS_SSD_ANALYTICS_VIDEO_V1_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "vision/analytics/distance_estimator.h"
#include "vision/analytics/vision_analytics.h"
#include "vision/objects/appearance_descriptor.h"
#include "vision/objects/detection_filter.h"
#include "vision/objects/motion_gate.h"
#include "vision/objects/object_keys.h"
#include "vision/objects/pixel_liveness.h"
#include "vision/objects/track_summaries.h"
#include "vision/regions/roi_set.h"
#include "vision/tracking/tracker.h"
#include "vision/tracking/tracker_mode.h"
#include "vision/tracking/zone_events.h"

namespace talvenrook_vision {

class SSDAnalyticsVideoV1 : public VisionAnalytics {
 public:
  SSDAnalyticsVideoV1();
  ~SSDAnalyticsVideoV1() override;

  // Fails when a region's model cannot be loaded. Missing required keys
  // ("f_over_s", an object size's "class" or "size", a visited model's "type",
  // "version", "engine" or "content") raise MissingPropertyError.
  absl::Status Setup(const KestuEyeConfig& config) override;
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool ahead) override {
    return BeginAtMoment(frame, ahead, RoiSet::kJudge);
  }
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override;
  void Draw(cv::Mat& frame) override;
  // The failure of the regions' detection on the last finished frame (in
  // Begin or in Finish): OpenCV refused the frame, or the crop of a
  // region, whose lists came out empty.
  absl::Status FrameStatus() const override { return frame_status_; }

  // An owner that judges day or night itself (its one preprocessing
  // stage) says so before Setup: the regions then take the verdict given
  // with each frame instead of judging the frame again.
  void JudgeDayNightOutside() { judges_day_night_ = false; }
  // Begin with the frame's verdict (RoiSet::kJudge: the regions judge it).
  std::unique_ptr<FrameWork> BeginAtMoment(const cv::Mat& frame, bool ahead,
                                           int moment);

  // The two halves of Process: the regions' detections of a frame (one list
  // per region; empty lists when a detector throws), then everything after
  // detection (filtering, tracking, events) for those lists. Benchmarks
  // call them apart to score several tracker settings on one detection run.
  std::vector<DetectionList> Detect(const cv::Mat& frame);
  VisionResult ResultFromDetections(std::vector<DetectionList> lists,
                                    const cv::Mat& frame);

  // Distance of an object of the class from the camera, in the unit of the
  // object sizes; -1 without a distance estimator, for a class without a
  // size or for a box without width.
  double EstimateDistance(const cv::Rect& box, const std::string& class_name,
                          const cv::Rect& reference = cv::Rect()) const;

  // The 0-based position of the name in the labels of the first SSD or
  // YOLO model that knows it, or -1.
  static int32_t FindLabelIndex(const KestuEyeConfig& config,
                                const std::string& name);

  // Ids of every track that the region trackers dropped in the last frame,
  // for owners that keep their own state per track.
  const std::vector<int32_t>& dropped_track_ids() const { return dropped_; }

  const std::set<int32_t>& class_keep_set() const { return filter_.keep(); }
  bool tracker_enabled() const { return tracker_enabled_; }
  bool draw_objects() const { return draw_objects_; }
  bool speed_on() const { return zone_events_.measure_speed(); }
  bool has_distance_estimator() const { return distance_ != nullptr; }
  const RoiSet& regions() const { return regions_; }
  const ZoneEvents& zone_events() const { return zone_events_; }
  std::vector<ZoneLabel> ZoneLabels() const override {
    std::vector<ZoneLabel> labels;
    for (const Zone& zone : zone_events_.zones()) {
      labels.push_back(
          {zone.name(), zone.forward_name(), zone.backward_name()});
    }
    return labels;
  }
  const TrackerMode& class_vote() const { return class_vote_; }
  const TrackSummaries& summaries() const { return summaries_; }
  const MotionGate& motion_gate() const { return gate_; }
  const std::vector<std::unique_ptr<Tracker>>& trackers() const {
    return trackers_;
  }

 private:
  void ReadClassesToKeep(const KestuEyeConfig& config,
                         const ObjectSettings& settings);
  // Warns about "areas" that cannot fire (not a list, or an element that is
  // not a list of at least three points).
  static void CheckAreas(const Entity& map);
  // Warns once per frame size about regions that lie outside the frame.
  void CheckRegions(const cv::Size& frame_size);
  // Gives the SSD-type adapters of one kind (day or night) network sizes
  // that share their input budget in proportion to their regions' areas.
  void ShareNetworkSize(bool night);
  // Takes "tracker_appearance"; warns when it cannot take effect.
  void ReadAppearance(const Entity& map, const ObjectSettings& settings);
  // `detected` has one entry per region: 0 for a region whose detector
  // did not run (motion gating); empty when every region ran.
  void BuildResult(std::vector<DetectionList>& lists, const cv::Mat& frame,
                   VisionResult* result,
                   const std::vector<char>& detected = {});
  void CountGatedFrames(VisionResult* result) const;
  // Keeps the confirmed tracks' boxes for the gate's next decision.
  void KeepFollowedBoxes();
  void PartialResult(const DetectorAdapter* adapter, DetectionList& list,
                     VisionResult* result);
  void TrackedPartialResult(const DetectorAdapter* adapter, Tracker& tracker,
                            int roi_index, DetectionList& list,
                            const cv::Mat& frame, bool detected, int64_t ticks,
                            VisionResult* result);
  void AddTrackDetection(const DetectorAdapter* adapter, const Track& track,
                         VisionResult* result) const;

  // What the start of a frame hands to its finish: the gate's decision
  // (one entry per region, 0: not detected; empty: every region runs) and
  // the failure of the start, if any.
  struct FrameTicket {
    std::vector<char> gate;
    absl::Status status;
  };

  // What Begin hands to Finish: the ticket, and the regions' lists or,
  // for a frame begun ahead, what the regions' push left to pop; and the
  // time Begin took.
  struct ObjectWork : FrameWork {
    FrameTicket ticket;
    bool pushed = false;
    absl::StatusOr<std::vector<DetectionList>> lists;
    RoiSet::Pushed regions;
    int64_t begin_ticks = 0;
  };

  // The steps of one frame: StartFrame (the regions' check and the gate's
  // decision), the regions' detection (at once, or pushed and later
  // popped), FinishFrame (everything after detection).
  FrameTicket StartFrame(const cv::Mat& frame);
  VisionResult FinishFrame(const FrameTicket& ticket,
                           absl::StatusOr<std::vector<DetectionList>> lists,
                           const cv::Mat& frame);
  // The regions' lists, or the message of the OpenCV exception that
  // stopped them.
  absl::StatusOr<std::vector<DetectionList>> DetectRegions(
      const cv::Mat& frame, const FrameTicket& ticket, int moment);
  // A refusal of OpenCV goes into the ticket's status.
  void PushRegions(const cv::Mat& frame, int moment, ObjectWork* work);
  absl::StatusOr<std::vector<DetectionList>> PopRegions(
      const RoiSet::Pushed& pushed);
  // Keeps the step's status as the frame's; a failure is written as an
  // "ERROR: " line and gives one empty list per region.
  std::vector<DetectionList> ListsOf(
      absl::StatusOr<std::vector<DetectionList>> lists);

  bool judges_day_night_ = true;
  std::vector<std::unique_ptr<Tracker>> trackers_;  // one per region
  std::vector<DetectionList> last_detections_;      // tracking off, for Draw
  TrackerMode class_vote_;
  ZoneEvents zone_events_;
  DetectionFilter filter_;
  bool tracker_enabled_ = true;
  bool draw_objects_ = true;
  RoiSet regions_;
  std::unique_ptr<DistanceEstimator> distance_;
  std::vector<int32_t> dropped_;
  cv::Size checked_size_;  // frame size the regions were checked for
  // Colour descriptors of the detections for the tracker's appearance pass
  // ("tracker_appearance").
  bool appearance_ = false;
  AppearanceDescriptor appearance_descriptor_;
  PixelLiveness liveness_;
  std::vector<cv::Mat> descriptors_;
  TrackSummaries summaries_;
  MotionGate gate_;
  // Guards gate_ and followed_.
  std::mutex gate_mutex_;
  absl::Status frame_status_;  // of the last frame finished
  // Per region, the boxes of the confirmed tracks of the last result, which
  // motion inside does not wake the detector (guarded by gate_mutex_).
  std::vector<std::vector<cv::Rect>> followed_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_SSD_ANALYTICS_VIDEO_V1_H_
