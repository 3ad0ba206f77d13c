// OpenCVPredict: the Predictor over OpenCV's deep-neural-network module.
//
// Contract:
//  - Loaded once, by LoadFromFiles or LoadFromBytes; another model means
//    another predictor. Both return a failure, after one error line, when the
//    network cannot be read, when an engine other than "Caffe" has no
//    channel count, when the last layer does not have exactly one output,
//    or when a mean payload is malformed. OpenCV exceptions never escape.
//  - Engines are OpenCV framework names ("Caffe", "Tensorflow", "ONNX",
//    "DLDT", "Torch", "Darknet", ...). "DLDT" and "Torch" cannot read from
//    memory: their bytes go through temporary files removed after loading.
//  - A Caffe network given without geometry (channels, width or height
//    below 1) takes it from its network text.
//  - Blob preparation: colour conversion to the network's channel count,
//    then either the mean image subtracted in the frame's own type or the
//    mean scalar, then the scale; the first and third channels are swapped
//    only for 3-channel inputs with the swap flag set.
//  - Asynchronous ring (queue size > 0): Push on one producer thread and Pop
//    on one consumer thread; results come back in push order. Inferences
//    run on the task runner given with SetTaskRunner (on the pushing thread
//    without one), up to min(queue size, cores) at once, each on its own
//    copy of the network, so that two inferences overlap; unfinished
//    results are dropped on destruction. Predict and PredictAll may be
//    called while inferences are in flight; they wait for the network.
//
// Example model map that CreatePredictor turns into an OpenCVPredict:
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "c.onnx" } }
//     properties { key: "prototxt_file" value { string_value: "" } }
//     properties { key: "input_channels" value { integer_value: 3 } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "input_size" value { size_value {
//       width: 224 height: 224 } } } } } }
#ifndef VISION_INFERENCE_OPENCV_PREDICT_H_
#define VISION_INFERENCE_OPENCV_PREDICT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/async.hpp>
#include <opencv2/core/detail/async_promise.hpp>
#include <opencv2/dnn.hpp>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "vision/exec/task_runner.h"
#include "vision/inference/inference_ring.h"
#include "vision/inference/network_loader.h"
#include "vision/inference/predictor.h"

namespace talvenrook_vision {

class OpenCVPredict : public Predictor {
 public:
  // Inputs beyond these are refused at load: their blobs and activations
  // would take gigabytes.
  static constexpr int kMaxInputSide = 4096;
  static constexpr int64_t kMaxInputPixels = 2048 * 2048;
  static bool InputSizeAllowed(const cv::Size& size);
  // Longest asynchronous ring; a longer one is refused at load.
  static constexpr int kMaxQueueSize = 64;

  OpenCVPredict() = default;
  ~OpenCVPredict() override;
  OpenCVPredict(const OpenCVPredict&) = delete;
  OpenCVPredict& operator=(const OpenCVPredict&) = delete;

  // OK, or why the network cannot be used (OpenCV's reason, a file that
  // cannot be read), whose "ERROR: " line was written.
  absl::Status LoadFromFiles(const std::string& network_path,
                             const std::string& weights_path,
                             const std::string& mean_path, cv::Size input_size,
                             int channels, const cv::Scalar& mean_scalar,
                             double scale, bool swap_channels,
                             const std::string& engine, int queue_size);
  absl::Status LoadFromBytes(const std::string& network_bytes,
                             const std::string& weights_bytes,
                             const std::string& mean_bytes, cv::Size input_size,
                             int channels, const cv::Scalar& mean_scalar,
                             double scale, bool swap_channels,
                             const std::string& engine, int queue_size);

  std::vector<std::vector<float>> PredictAll(
      const cv::Mat& image,
      const std::vector<std::string>& output_names) override;
  std::vector<float> Predict(const cv::Mat& image,
                             const std::string& output_name) override;
  // Predict, with OpenCV's reason when it refuses the image or the network
  // fails on it (nothing is written then; Predict writes it as an "ERROR: "
  // line).
  absl::StatusOr<std::vector<float>> PredictOr(const cv::Mat& image,
                                               const std::string& output_name);
  int OutputSize() const override { return output_size_; }
  bool Push(const cv::Mat& image) override;
  // Push, telling a full ring (the consumer has yet to pop) from a failure,
  // and a failure from OpenCV refusing the image (its reason, also written
  // as an "ERROR: " line).
  enum class PushStatus { kPushed, kFull, kFailed };
  absl::StatusOr<PushStatus> TryPush(const cv::Mat& image);
  std::vector<float> Pop() override;
  // Pop that tells a result (true, even an empty one after a failed
  // inference) from a wait that timed out with the result still pending
  // (false).
  bool PopInto(std::vector<float>* rows);
  void SetTarget(int target) override;
  void SetBackend(int backend) override;
  // Where the asynchronous inferences run. Requires: nothing pushed yet.
  void SetTaskRunner(std::shared_ptr<TaskRunner> runner);

  // Outputs that every inference computes, flattened and concatenated in
  // this order (for networks with several output layers, such as YOLO).
  // Empty (the default) means the network's default output. Set before
  // the first Predict or Push.
  void SetOutputNames(const std::vector<std::string>& names);
  // Names of the network's unconnected output layers.
  std::vector<std::string> UnconnectedOutputNames() const;

  // Number of queued results not yet popped, and whether the ring is full
  // (always, without a ring).
  int64_t Pending() const;
  // The producer's and the consumer's waits on the ring, on a condition
  // variable: until a slot is free, and until an inference is pending (or
  // the limit has passed; false then).
  void WaitForRoom();
  bool WaitForPending(std::chrono::milliseconds limit);
  bool Full() const;

  // Geometry in effect after loading (from the arguments or, for Caffe,
  // from the network text).
  cv::Size InputSize() const { return cv::Size(input_width_, input_height_); }
  int InputChannels() const { return input_channels_; }
  bool Loaded() const { return !network_.empty(); }

  // The blob that the last synchronous call fed to the network.
  const cv::Mat& LastBlob() const { return blob_; }

  // Dimensions declared by a Caffe network text, in order (N, C, H, W when
  // the text declares an input).
  static std::vector<int> NetworkTextDimensions(const std::string& text);

 private:
  // A copy of the network for one more asynchronous worker.
  struct NetworkCopy {
    cv::dnn::Net net;  // guarded by mutex
    std::mutex mutex;
  };

  // Takes what a load read (or its failure, leaving nothing loaded).
  absl::Status Install(absl::StatusOr<LoadedNetwork> loaded);
  // The asynchronous ring of the loaded queue size, its workers running on
  // network_ and the extra networks; none for queue size 0.
  void MakeRing();
  // Fills `blob` from the image; false (after an error line) on failure.
  bool PrepareBlob(const cv::Mat& image, cv::Mat* blob);
  // Runs `net` on `blob`; the caller holds the network's mutex.
  cv::Mat Forward(cv::dnn::Net& net, const cv::Mat& blob,
                  const std::string& output_name,
                  std::vector<cv::Mat>* outputs) const;

  cv::dnn::Net network_;
  cv::Mat mean_image_;
  cv::Scalar mean_scalar_{0, 0, 0, 0};
  int input_width_ = 0;
  int input_height_ = 0;
  int input_channels_ = 0;
  int output_size_ = 0;
  double scale_ = 1.0;
  bool swap_channels_ = false;
  std::vector<cv::String> output_names_;
  std::vector<cv::Mat> outputs_;  // scratch for several outputs

  // Scratch images for blob preparation on the calling thread.
  cv::Mat converted_;
  cv::Mat resized_;
  cv::Mat subtracted_;
  cv::Mat blob_;

  // Serialises every use of network_ (synchronous calls and the worker).
  std::mutex network_mutex_;

  std::vector<std::unique_ptr<NetworkCopy>> extra_networks_;
  int queue_size_ = 0;
  std::shared_ptr<TaskRunner> runner_;
  // The asynchronous half; declared last so that it goes first.
  std::unique_ptr<InferenceRing> ring_;
};

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_OPENCV_PREDICT_H_
