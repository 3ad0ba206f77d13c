#include "vision/detectors/ssd_detector.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

#include "absl/status/statusor.h"
#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/config/setup_status.h"

namespace talvenrook_vision {
namespace {

constexpr int kRowLength = 7;
constexpr int kMinimumRegionArea = 25;
// How long PopDetections waits for a result when nothing is pending.
constexpr auto kPopIdleLimit = std::chrono::seconds(10);

}  // namespace

bool SSDDetector::Store(const std::string& network, const std::string& weights,
                        bool from_bytes, const std::vector<cv::Rect>& regions,
                        const std::vector<SizeLimit>& size_limits,
                        float confidence_threshold, int input_width,
                        int input_height, const cv::Scalar& mean,
                        float input_scale, int channels, bool swap,
                        int queue_size, const std::string& engine) {
  error_.clear();
  if (input_width <= 0 || input_height <= 0 ||
      !OpenCVPredict::InputSizeAllowed(cv::Size(input_width, input_height))) {
    NoteLoadError("The input size " + std::to_string(input_width) + " x " +
                  std::to_string(input_height) + " is out of range");
    return false;
  }
  if (engine == "TFLITE") {
    NoteLoadError("Support for TFLite is currently disabled");
    return false;
  }
  network_ = network;
  weights_ = weights;
  from_bytes_ = from_bytes;
  configured_regions_ = regions;
  size_limits_ = size_limits;
  confidence_threshold_ = confidence_threshold;
  input_width_ = input_width;
  input_height_ = input_height;
  mean_ = mean;
  input_scale_ = input_scale;
  channels_ = channels;
  swap_ = swap;
  queue_size_ = queue_size;
  engine_ = engine;
  reload_ = true;
  loaded_ = true;
  return true;
}

bool SSDDetector::LoadFromBytes(const std::string& network,
                                const std::string& weights,
                                const std::vector<std::string>& labels,
                                const std::vector<cv::Rect>& regions,
                                const std::vector<SizeLimit>& size_limits,
                                float confidence_threshold, int input_width,
                                int input_height, const cv::Scalar& mean,
                                float input_scale, int channels, bool swap,
                                int queue_size, const std::string& engine) {
  if (!Store(network, weights, true, regions, size_limits, confidence_threshold,
             input_width, input_height, mean, input_scale, channels, swap,
             queue_size, engine)) {
    return false;
  }
  labels_ = labels;
  return true;
}

bool SSDDetector::LoadFromFiles(const std::string& network_path,
                                const std::string& weights_path,
                                const std::string& labels_path,
                                const std::vector<cv::Rect>& regions,
                                const std::vector<SizeLimit>& size_limits,
                                float confidence_threshold, int input_width,
                                int input_height, const cv::Scalar& mean,
                                float input_scale, int channels, bool swap,
                                int queue_size, const std::string& engine) {
  std::vector<std::string> labels;
  if (!labels_path.empty()) {
    std::ifstream in(labels_path);
    if (!in) {
      std::cerr << "Error opening file: " << labels_path << std::endl;
      return false;
    }
    for (std::string line; std::getline(in, line);) labels.push_back(line);
  }
  if (!Store(network_path, weights_path, false, regions, size_limits,
             confidence_threshold, input_width, input_height, mean, input_scale,
             channels, swap, queue_size, engine)) {
    return false;
  }
  labels_ = labels;
  return true;
}

void SSDDetector::SetTarget(int target) {
  target_ = target;
  for (auto& predictor : predictors_) predictor->SetTarget(target);
}

void SSDDetector::SetBackend(int backend) {
  backend_ = backend;
  for (auto& predictor : predictors_) predictor->SetBackend(backend);
}

void SSDDetector::NoteLoadError(const std::string& text) {
  NoteError(text);
  error_ = text;
}

void SSDDetector::SetLoadError(const std::string& text) { error_ = text; }

bool SSDDetector::CheckNetwork() {
  if (!loaded_) return false;
  OpenCVPredict predictor;
  const cv::Size size = AdjustInputSize(cv::Size(input_width_, input_height_));
  const absl::Status read =
      from_bytes_
          ? predictor.LoadFromBytes(network_, weights_, "", size, channels_,
                                    mean_, input_scale_, swap_, engine_, 0)
          : predictor.LoadFromFiles(network_, weights_, "", size, channels_,
                                    mean_, input_scale_, swap_, engine_, 0);
  if (read.ok()) return true;
  error_ = MessageOf(read);
  loaded_ = false;
  return false;
}

void SSDDetector::SetInputSize(int width, int height) {
  if (width == input_width_ && height == input_height_) return;
  if (width <= 0 || height <= 0 ||
      !OpenCVPredict::InputSizeAllowed(cv::Size(width, height))) {
    NoteError(absl::StrCat("The detector input size ", width, " x ", height,
                           " is out of range; keeping ", input_width_, " x ",
                           input_height_));
    return;
  }
  input_width_ = width;
  input_height_ = height;
  reload_ = true;
}

std::string SSDDetector::Label(int index) const {
  if (index >= 0 && static_cast<size_t>(index) < labels_.size())
    return labels_[index];
  return std::to_string(index);
}

SizeLimit SSDDetector::LimitOf(size_t region) const {
  if (region < size_limits_.size()) return size_limits_[region];
  return {0, kNoMaximum};
}

std::vector<cv::Size> SSDDetector::PredictorInputSizes() const {
  std::vector<cv::Size> sizes;
  for (const auto& predictor : predictors_)
    sizes.push_back(predictor->InputSize());
  return sizes;
}

void SSDDetector::ComputeRegions(cv::Size frame_size) {
  frame_width_ = frame_size.width;
  frame_height_ = frame_size.height;
  const cv::Rect frame(0, 0, frame_size.width, frame_size.height);
  regions_ = configured_regions_;
  if (regions_.empty()) regions_.push_back(frame);
  if (size_limits_.size() == 1 && regions_.size() > 1)
    size_limits_.resize(regions_.size(), size_limits_[0]);
  total_area_ = 0;
  for (cv::Rect& region : regions_) {
    region &= frame;
    if (region.area() < kMinimumRegionArea) {
      std::cerr << "ROI is misconfigured. Please review it." << std::endl;
      std::cerr << "Falling back to full frame" << std::endl;
      region = frame;
    }
    total_area_ += region.area();
  }
  const double budget = static_cast<double>(input_width_) * input_height_;
  scale_factor_ = (budget <= 0 || total_area_ <= 0)
                      ? 0.0f
                      : static_cast<float>(std::sqrt(budget / total_area_));
}

void SSDDetector::BuildPredictors(bool fixed_size) {
  predictors_.clear();
  reload_ = false;
  if (engine_ == "TFLITE") {
    NoteError("Support for TFLite is currently disabled");
    return;
  }
  for (const cv::Rect& region : regions_) {
    cv::Size size(input_width_, input_height_);
    if (!fixed_size) {
      const float factor = scale_factor_ * accuracy_boost_;
      size = AdjustInputSize(
          cv::Size(std::max(1, static_cast<int>(region.width * factor)),
                   std::max(1, static_cast<int>(region.height * factor))));
    }
    auto predictor = std::make_unique<OpenCVPredict>();
    const absl::Status loaded =
        from_bytes_ ? predictor->LoadFromBytes(network_, weights_, "", size,
                                               channels_, mean_, input_scale_,
                                               swap_, engine_, queue_size_)
                    : predictor->LoadFromFiles(network_, weights_, "", size,
                                               channels_, mean_, input_scale_,
                                               swap_, engine_, queue_size_);
    if (!loaded.ok()) {
      std::ostringstream text;
      text << "Could not load the detector network for region " << region;
      NoteError(text.str());
      predictors_.clear();
      return;
    }
    PreparePredictor(predictor.get());
    predictor->SetTaskRunner(runner_);
    predictors_.push_back(std::move(predictor));
  }
  SetTarget(target_);
  SetBackend(backend_);
}

void SSDDetector::SetTaskRunner(std::shared_ptr<TaskRunner> runner) {
  runner_ = std::move(runner);
  for (auto& predictor : predictors_) predictor->SetTaskRunner(runner_);
}

void SSDDetector::Reconfigure(cv::Size frame_size, bool fixed_size) {
  ComputeRegions(frame_size);
  if (reload_ || !fixed_size || predictors_.size() != regions_.size())
    BuildPredictors(fixed_size);
}

bool SSDDetector::PrepareForFrame(const cv::Mat& frame, bool fixed_size) {
  if (!loaded_) return false;
  if (frame.cols != frame_width_ || frame.rows != frame_height_ || reload_)
    Reconfigure(frame.size(), fixed_size);
  return scale_factor_ != 0.0f && !predictors_.empty();
}

absl::StatusOr<bool> SSDDetector::TryPushFrame(const cv::Mat& frame) {
  if (frame.empty()) return false;
  if (!PrepareForFrame(frame, false)) return false;
  if (queue_size_ < 1) {
    std::cerr << "Inference queue size should be greater than 0" << std::endl;
    return false;
  }
  for (size_t i = 0; i < regions_.size(); ++i) {
    const cv::Mat crop = frame(regions_[i]);
    // A full ring drains as the consumer pops.
    for (;;) {
      const absl::StatusOr<OpenCVPredict::PushStatus> status =
          predictors_[i]->TryPush(crop);
      if (!status.ok()) return status.status();
      if (*status == OpenCVPredict::PushStatus::kPushed) break;
      if (*status == OpenCVPredict::PushStatus::kFailed) return false;
      predictors_[i]->WaitForRoom();
    }
  }
  return true;
}

DetectionList SSDDetector::PopDetections() {
  DetectionList out;
  for (size_t i = 0; i < predictors_.size() && i < regions_.size(); ++i) {
    OpenCVPredict* predictor = predictors_[i].get();
    std::vector<float> rows;
    // The result of this region's oldest pushed frame, however long its
    // inference takes; a region that nothing is pushed for within the
    // limit gives nothing. One result is taken per frame, so that a failed
    // inference (no rows) never takes the next frame's result.
    if (predictor->WaitForPending(kPopIdleLimit)) {
      while (!predictor->PopInto(&rows)) {
      }
    }
    Decode(rows, regions_[i], LimitOf(i), &out);
  }
  return out;
}

DetectionList SSDDetector::Detect(const cv::Mat& frame, bool fixed_size,
                                  const std::string& output_name) {
  DetectionList out;
  if (frame.empty()) return out;
  if (!PrepareForFrame(frame, fixed_size)) return out;
  for (size_t i = 0; i < regions_.size(); ++i) {
    absl::StatusOr<std::vector<float>> rows =
        predictors_[i]->PredictOr(frame(regions_[i]), output_name);
    if (!rows.ok()) {
      // A region the network could not run on gives nothing; the list
      // keeps the first such failure.
      NoteError(rows.status().message());
      if (out.status.ok()) out.status = rows.status();
      continue;
    }
    Decode(*rows, regions_[i], LimitOf(i), &out);
  }
  return out;
}

std::vector<DetectionList> SSDDetector::DetectOutputs(
    const cv::Mat& frame, bool fixed_size,
    const std::vector<std::string>& output_names) {
  std::vector<DetectionList> out(output_names.size());
  if (frame.empty()) return out;
  if (!PrepareForFrame(frame, fixed_size)) return out;
  for (size_t i = 0; i < regions_.size(); ++i) {
    const std::vector<std::vector<float>> outputs =
        predictors_[i]->PredictAll(frame(regions_[i]), output_names);
    for (size_t k = 0; k < outputs.size() && k < out.size(); ++k) {
      Decode(outputs[k], regions_[i], LimitOf(i), &out[k]);
    }
  }
  return out;
}

void SSDDetector::Decode(const std::vector<float>& rows, const cv::Rect& region,
                         const SizeLimit& limit, DetectionList* out) const {
  const int width = region.width;
  const int height = region.height;
  const size_t count = rows.size() / kRowLength;
  for (size_t r = 0; r < count; ++r) {
    const float* row = rows.data() + r * kRowLength;
    const float confidence = row[2];
    if (!(confidence > confidence_threshold_)) continue;
    if (!std::isfinite(row[3]) || !std::isfinite(row[4]) ||
        !std::isfinite(row[5]) || !std::isfinite(row[6])) {
      continue;
    }
    const int left = static_cast<int>(width * row[3]);
    const int top = static_cast<int>(height * row[4]);
    const int right = static_cast<int>(width * row[5]);
    const int bottom = static_cast<int>(height * row[6]);
    const int box_width = right - left + 1;
    const int box_height = bottom - top + 1;
    const int mean_side = (box_width + box_height) / 2;
    const bool size_ok =
        (limit.first == 0 && limit.second == 0) ||
        (limit.first <= mean_side && mean_side <= limit.second);
    if (!size_ok || box_height > height || box_width > width) continue;
    out->boxes.emplace_back(left + region.x, top + region.y, box_width,
                            box_height);
    out->labels.push_back(static_cast<int32_t>(row[1]));
    out->confidences.push_back(confidence);
  }
}

}  // namespace talvenrook_vision
