#include "vision/inference/opencv_predict.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "vision/config/entity_config.h"
#include "vision/config/setup_notes.h"
#include "vision/config/setup_status.h"

namespace talvenrook_vision {
namespace {

constexpr std::chrono::seconds kPopTimeout(10);

void WriteOpenCVError(const cv::Exception& e) { NoteError(e.what()); }

void WriteError(const absl::Status& status) { NoteError(status.message()); }

std::vector<float> Flatten(const cv::Mat& output) {
  if (output.empty()) return {};
  if (output.isContinuous()) {
    const float* begin = output.ptr<float>();
    return std::vector<float>(begin,
                              begin + output.total() * output.channels());
  }
  cv::Mat copy = output.clone();
  const float* begin = copy.ptr<float>();
  return std::vector<float>(begin, begin + copy.total() * copy.channels());
}

}  // namespace

OpenCVPredict::~OpenCVPredict() {
  // The workers use the networks: they stop first.
  ring_.reset();
}

bool OpenCVPredict::InputSizeAllowed(const cv::Size& size) {
  return size.width <= kMaxInputSide && size.height <= kMaxInputSide &&
         static_cast<int64_t>(std::max(size.width, 0)) *
                 std::max(size.height, 0) <=
             kMaxInputPixels;
}

absl::Status OpenCVPredict::LoadFromFiles(
    const std::string& network_path, const std::string& weights_path,
    const std::string& mean_path, cv::Size input_size, int channels,
    const cv::Scalar& mean_scalar, double scale, bool swap_channels,
    const std::string& engine, int queue_size) {
  return Install(LoadNetworkFromFiles({network_path, weights_path, mean_path,
                                       input_size, channels, mean_scalar, scale,
                                       swap_channels, engine, queue_size}));
}

absl::Status OpenCVPredict::LoadFromBytes(
    const std::string& network_bytes, const std::string& weights_bytes,
    const std::string& mean_bytes, cv::Size input_size, int channels,
    const cv::Scalar& mean_scalar, double scale, bool swap_channels,
    const std::string& engine, int queue_size) {
  return Install(LoadNetworkFromBytes({network_bytes, weights_bytes, mean_bytes,
                                       input_size, channels, mean_scalar, scale,
                                       swap_channels, engine, queue_size}));
}

absl::Status OpenCVPredict::Install(absl::StatusOr<LoadedNetwork> loaded) {
  ring_.reset();
  extra_networks_.clear();
  network_ = cv::dnn::Net();
  if (!loaded.ok()) return loaded.status();
  network_ = std::move(loaded->network);
  for (cv::dnn::Net& copy : loaded->copies) {
    extra_networks_.push_back(std::make_unique<NetworkCopy>());
    extra_networks_.back()->net = std::move(copy);
  }
  input_width_ = loaded->input_size.width;
  input_height_ = loaded->input_size.height;
  input_channels_ = loaded->channels;
  mean_image_ = loaded->mean_image;
  mean_scalar_ = loaded->mean_scalar;
  scale_ = loaded->scale;
  swap_channels_ = loaded->swap_channels;
  output_size_ = loaded->output_size;
  queue_size_ = loaded->queue_size;
  MakeRing();
  return absl::OkStatus();
}

void OpenCVPredict::MakeRing() {
  ring_.reset();
  if (queue_size_ == 0) return;
  ring_ = std::make_unique<InferenceRing>(
      static_cast<size_t>(queue_size_), 1 + extra_networks_.size(),
      [this](size_t worker, const cv::Mat& blob) {
        cv::dnn::Net& net =
            worker == 0 ? network_ : extra_networks_[worker - 1]->net;
        std::mutex& mutex =
            worker == 0 ? network_mutex_ : extra_networks_[worker - 1]->mutex;
        std::vector<cv::Mat> outputs;
        std::lock_guard<std::mutex> lock(mutex);
        return Forward(net, blob, "", &outputs);
      },
      runner_);
}

void OpenCVPredict::SetTaskRunner(std::shared_ptr<TaskRunner> runner) {
  runner_ = std::move(runner);
  if (ring_) MakeRing();
}

bool OpenCVPredict::PrepareBlob(const cv::Mat& image, cv::Mat* blob) {
  const cv::Mat* source = &image;
  int code = -1;
  const int image_channels = image.channels();
  if (image_channels == 3 && input_channels_ == 1) code = cv::COLOR_BGR2GRAY;
  if (image_channels == 4 && input_channels_ == 1) code = cv::COLOR_BGRA2GRAY;
  if (image_channels == 4 && input_channels_ == 3) code = cv::COLOR_BGRA2BGR;
  if (image_channels == 1 && input_channels_ == 3) code = cv::COLOR_GRAY2BGR;
  if (code >= 0) {
    cv::cvtColor(image, converted_, code);
    source = &converted_;
  }
  const bool swap = swap_channels_ && input_channels_ != 1;
  const cv::Size size(input_width_, input_height_);
  if (mean_image_.empty()) {
    cv::dnn::blobFromImage(*source, *blob, scale_, size, mean_scalar_, swap,
                           false, CV_32F);
    return true;
  }
  if (source->size() != size) {
    cv::resize(*source, resized_, size, 0, 0, cv::INTER_LINEAR);
    source = &resized_;
  }
  if (mean_image_.size() != source->size()) {
    cv::resize(mean_image_, mean_image_, source->size(), 0, 0,
               cv::INTER_LINEAR);
  }
  cv::subtract(*source, mean_image_, subtracted_, cv::noArray(),
               source->depth());
  cv::dnn::blobFromImage(subtracted_, *blob, scale_, size, cv::Scalar(), swap,
                         false, CV_32F);
  return true;
}

void OpenCVPredict::SetOutputNames(const std::vector<std::string>& names) {
  output_names_.assign(names.begin(), names.end());
}

std::vector<std::string> OpenCVPredict::UnconnectedOutputNames() const {
  if (network_.empty()) return {};
  const std::vector<cv::String> names = network_.getUnconnectedOutLayersNames();
  return std::vector<std::string>(names.begin(), names.end());
}

cv::Mat OpenCVPredict::Forward(cv::dnn::Net& net, const cv::Mat& blob,
                               const std::string& output_name,
                               std::vector<cv::Mat>* outputs) const {
  net.setInput(blob);
  if (!output_name.empty() || output_names_.empty())
    return net.forward(output_name);
  net.forward(*outputs, output_names_);
  if (outputs->size() == 1) return (*outputs)[0];
  size_t total = 0;
  for (const cv::Mat& m : *outputs) total += m.total();
  cv::Mat joined(1, static_cast<int>(total), CV_32F);
  float* dst = joined.ptr<float>();
  for (const cv::Mat& m : *outputs) {
    const cv::Mat c = m.isContinuous() ? m : m.clone();
    std::memcpy(dst, c.ptr<float>(), c.total() * sizeof(float));
    dst += c.total();
  }
  return joined;
}

std::vector<float> OpenCVPredict::Predict(const cv::Mat& image,
                                          const std::string& output_name) {
  absl::StatusOr<std::vector<float>> rows = PredictOr(image, output_name);
  if (rows.ok()) return *std::move(rows);
  WriteError(rows.status());
  return {};
}

absl::StatusOr<std::vector<float>> OpenCVPredict::PredictOr(
    const cv::Mat& image, const std::string& output_name) {
  if (network_.empty() || image.empty()) return std::vector<float>();
  try {
    PrepareBlob(image, &blob_);
    std::lock_guard<std::mutex> lock(network_mutex_);
    return Flatten(Forward(network_, blob_, output_name, &outputs_));
  } catch (const cv::Exception& e) {
    return absl::InternalError(e.what());
  }
}

std::vector<std::vector<float>> OpenCVPredict::PredictAll(
    const cv::Mat& image, const std::vector<std::string>& output_names) {
  if (network_.empty() || image.empty()) return {};
  try {
    PrepareBlob(image, &blob_);
    std::vector<cv::Mat> outputs;
    {
      std::lock_guard<std::mutex> lock(network_mutex_);
      network_.setInput(blob_);
      network_.forward(outputs, std::vector<cv::String>(output_names.begin(),
                                                        output_names.end()));
    }
    std::vector<std::vector<float>> result;
    result.reserve(outputs.size());
    for (const cv::Mat& output : outputs) result.push_back(Flatten(output));
    return result;
  } catch (const cv::Exception& e) {
    WriteOpenCVError(e);
    return {};
  }
}

bool OpenCVPredict::Push(const cv::Mat& image) {
  const absl::StatusOr<PushStatus> pushed = TryPush(image);
  return pushed.ok() && *pushed == PushStatus::kPushed;
}

absl::StatusOr<OpenCVPredict::PushStatus> OpenCVPredict::TryPush(
    const cv::Mat& image) {
  if (network_.empty()) return PushStatus::kFailed;
  if (!ring_) {
    std::cerr << "Inference queue size should be greater than 0" << std::endl;
    return PushStatus::kFailed;
  }
  if (ring_->Full()) return PushStatus::kFull;
  try {
    PrepareBlob(image, &ring_->NextBlob());
  } catch (const cv::Exception& e) {
    absl::Status refused = absl::InternalError(e.what());
    WriteError(refused);
    return refused;
  }
  ring_->Submit();
  return PushStatus::kPushed;
}

int64_t OpenCVPredict::Pending() const { return ring_ ? ring_->Pending() : 0; }

bool OpenCVPredict::Full() const { return !ring_ || ring_->Full(); }

void OpenCVPredict::WaitForRoom() {
  if (ring_) ring_->WaitForRoom();
}

bool OpenCVPredict::WaitForPending(std::chrono::milliseconds limit) {
  if (!ring_) return false;
  return ring_->WaitForPending(limit);
}

std::vector<float> OpenCVPredict::Pop() {
  std::vector<float> rows;
  PopInto(&rows);
  return rows;
}

bool OpenCVPredict::PopInto(std::vector<float>* rows) {
  rows->clear();
  cv::Mat output;
  if (!ring_ || !ring_->Pop(&output, kPopTimeout)) return false;
  *rows = Flatten(output);
  return true;
}

void OpenCVPredict::SetTarget(int target) {
  if (network_.empty()) return;
  try {
    std::lock_guard<std::mutex> lock(network_mutex_);
    network_.setPreferableTarget(target);
    for (auto& copy : extra_networks_) {
      std::lock_guard<std::mutex> copy_lock(copy->mutex);
      copy->net.setPreferableTarget(target);
    }
  } catch (const cv::Exception& e) {
    WriteOpenCVError(e);
  }
}

void OpenCVPredict::SetBackend(int backend) {
  if (network_.empty()) return;
  try {
    std::lock_guard<std::mutex> lock(network_mutex_);
    network_.setPreferableBackend(backend);
    for (auto& copy : extra_networks_) {
      std::lock_guard<std::mutex> copy_lock(copy->mutex);
      copy->net.setPreferableBackend(backend);
    }
  } catch (const cv::Exception& e) {
    WriteOpenCVError(e);
  }
}

}  // namespace talvenrook_vision
