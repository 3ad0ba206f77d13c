// SSDDetector: one single-shot-detector network (SSD or Faster R-CNN output
// rows) run over one or more regions of a frame.
//
// Every region gets its own predictor. Unless the input size is fixed, the
// predictors' input sizes come from one pixel budget (input width x input
// height): each region keeps its aspect ratio and the regions' input areas
// add up to the budget (times the square of the accuracy boost). The
// predictors are built on the first frame and rebuilt when the frame size
// changes.
//
// Output rows are 7 floats: image index, class id, confidence, left, top,
// right, bottom (relative to the region). A row is kept when its confidence
// is strictly above the threshold, its box fits the region and its mean
// side is within the region's size limits. Boxes are in frame pixels.
//
// PushFrame (producer) and PopDetections (consumer) may run on two threads;
// the frame size must not change while results are pending. Everything
// else runs on one thread.
#ifndef VISION_DETECTORS_SSD_DETECTOR_H_
#define VISION_DETECTORS_SSD_DETECTOR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "absl/status/statusor.h"
#include "vision/detectors/detection_list.h"
#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

// Allowed mean box side in pixels: (minimum, maximum).
using SizeLimit = std::pair<int32_t, int32_t>;

class SSDDetector {
 public:
  static constexpr int32_t kNoMaximum = 2147483647;

  SSDDetector() = default;
  virtual ~SSDDetector() = default;
  SSDDetector(const SSDDetector&) = delete;
  SSDDetector& operator=(const SSDDetector&) = delete;

  // Both fail when the input width or height is 0 or less or beyond
  // OpenCVPredict's limits, or the engine is "TFLITE"; otherwise they store
  // everything and mark the predictors for rebuilding. Networks are read when
  // the first frame arrives.
  virtual bool LoadFromBytes(const std::string& network,
                             const std::string& weights,
                             const std::vector<std::string>& labels,
                             const std::vector<cv::Rect>& regions,
                             const std::vector<SizeLimit>& size_limits,
                             float confidence_threshold, int input_width,
                             int input_height, const cv::Scalar& mean,
                             float input_scale, int channels, bool swap,
                             int queue_size, const std::string& engine);
  // Labels come from the labels file, one per line (none for an empty
  // path); a file that cannot be opened fails the load.
  virtual bool LoadFromFiles(const std::string& network_path,
                             const std::string& weights_path,
                             const std::string& labels_path,
                             const std::vector<cv::Rect>& regions,
                             const std::vector<SizeLimit>& size_limits,
                             float confidence_threshold, int input_width,
                             int input_height, const cv::Scalar& mean,
                             float input_scale, int channels, bool swap,
                             int queue_size, const std::string& engine);
  virtual void SetTarget(int target);
  virtual void SetBackend(int backend);
  // Where the pushed frames' inferences run (see OpenCVPredict). Requires:
  // nothing pushed yet.
  void SetTaskRunner(std::shared_ptr<TaskRunner> runner);
  // Queues the detection of every region of `frame`; false for an empty
  // frame or when no predictor could be built.
  virtual bool PushFrame(const cv::Mat& frame) {
    const absl::StatusOr<bool> pushed = TryPushFrame(frame);
    return pushed.ok() && *pushed;
  }
  // PushFrame, with OpenCV's reason when it refused a region's crop.
  absl::StatusOr<bool> TryPushFrame(const cv::Mat& frame);
  // The detections of the oldest pushed frame (waits for them).
  DetectionList PopDetections();
  DetectionList Detect(const cv::Mat& frame, bool fixed_size,
                       const std::string& output_name);
  // One inference per region reading several named outputs; the list at
  // index k holds the decoded rows of output k. Empty lists for an empty
  // frame or a detector that cannot run.
  std::vector<DetectionList> DetectOutputs(
      const cv::Mat& frame, bool fixed_size,
      const std::vector<std::string>& output_names);
  // The label at `index`, or the index in decimal when there is none.
  std::string Label(int index) const;

  // Reads the stored network once, as the first frame will, so that a
  // network OpenCV refuses fails the load instead of every frame. False,
  // with error() set, when it cannot be read.
  bool CheckNetwork();
  // Why the last load failed; empty after a successful one.
  const std::string& error() const { return error_; }
  // Writes the error line and keeps the text as error().
  void NoteLoadError(const std::string& text);
  // Keeps the text as error() (its line was written already).
  void SetLoadError(const std::string& text);

  // Computes the regions for `frame_size` and (re)builds the predictors.
  void Reconfigure(cv::Size frame_size, bool fixed_size);

  // Appends the rows kept for `region` to `out`.
  virtual void Decode(const std::vector<float>& rows, const cv::Rect& region,
                      const SizeLimit& limit, DetectionList* out) const;

  void SetInputSize(int width, int height);
  cv::Size InputSize() const { return cv::Size(input_width_, input_height_); }
  void set_labels(const std::vector<std::string>& labels) { labels_ = labels; }
  void set_accuracy_boost(float boost) { accuracy_boost_ = boost; }
  void set_use_edgetpu(bool use) { use_edgetpu_ = use; }
  void set_use_xnnpack(bool use) { use_xnnpack_ = use; }
  void set_tflite_threads(int threads) { tflite_threads_ = threads; }
  const std::vector<cv::Rect>& regions() const { return regions_; }
  float scale_factor() const { return scale_factor_; }
  float confidence_threshold() const { return confidence_threshold_; }
  // Length of each predictor's asynchronous ring (0: PushFrame refuses).
  int32_t queue_size() const { return queue_size_; }
  std::vector<cv::Size> PredictorInputSizes() const;

 protected:
  // Called on every predictor after loading; subclasses choose outputs.
  virtual void PreparePredictor(OpenCVPredict* predictor) {}
  // The input size of a region's predictor derived from the pixel budget;
  // subclasses may round it to what their networks accept.
  virtual cv::Size AdjustInputSize(cv::Size size) const { return size; }
  SizeLimit LimitOf(size_t region) const;

  std::vector<std::string> labels_;
  float confidence_threshold_ = 0.01f;

 private:
  bool Store(const std::string& network, const std::string& weights,
             bool from_bytes, const std::vector<cv::Rect>& regions,
             const std::vector<SizeLimit>& size_limits,
             float confidence_threshold, int input_width, int input_height,
             const cv::Scalar& mean, float input_scale, int channels, bool swap,
             int queue_size, const std::string& engine);
  void ComputeRegions(cv::Size frame_size);
  void BuildPredictors(bool fixed_size);
  bool PrepareForFrame(const cv::Mat& frame, bool fixed_size);

  std::string error_;  // why the last load failed
  std::vector<cv::Rect> configured_regions_;
  std::vector<SizeLimit> size_limits_;
  std::vector<cv::Rect> regions_;
  bool loaded_ = false;  // a load succeeded
  bool reload_ = false;
  int32_t total_area_ = 0;
  std::vector<std::unique_ptr<OpenCVPredict>> predictors_;
  std::shared_ptr<TaskRunner> runner_;
  int32_t input_width_ = 300;
  int32_t input_height_ = 300;
  float scale_factor_ = 0.0f;
  cv::Scalar mean_{0, 0, 0, 0};
  float input_scale_ = 1.0f;
  int32_t frame_width_ = 0;
  int32_t frame_height_ = 0;
  int32_t channels_ = 3;
  bool swap_ = false;
  std::string network_;
  std::string weights_;
  bool from_bytes_ = false;
  std::string engine_;
  int32_t queue_size_ = 0;
  int32_t backend_ = 0;
  int32_t target_ = 0;
  float accuracy_boost_ = 1.0f;
  bool use_edgetpu_ = true;
  bool use_xnnpack_ = false;
  int32_t tflite_threads_ = 4;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_SSD_DETECTOR_H_
