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
#include "vision/config/setup_status.h"
#include "vision/inference/darknet_text_check.h"
#include "vision/inference/mean_payload.h"
#include "vision/inference/model_files_check.h"

namespace talvenrook_vision {
namespace {

constexpr int64_t kPopTimeoutNs = 10000000000LL;

std::vector<uchar> AsBuffer(const std::string& bytes) {
  return std::vector<uchar>(bytes.begin(), bytes.end());
}

void WriteOpenCVError(const cv::Exception& e) {
  std::cerr << "ERROR: " << e.what() << std::endl;
}

void WriteError(const absl::Status& status) {
  std::cerr << "ERROR: " << status.message() << std::endl;
}

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

OpenCVPredict::~OpenCVPredict() { StopWorker(); }

bool OpenCVPredict::InputSizeAllowed(const cv::Size& size) {
  return size.width <= kMaxInputSide && size.height <= kMaxInputSide &&
         static_cast<int64_t>(std::max(size.width, 0)) *
                 std::max(size.height, 0) <=
             kMaxInputPixels;
}

void OpenCVPredict::NoteError(const std::string& text) {
  std::cerr << "ERROR: " << text << std::endl;
  error_ = text;
  SetLastLoadError(text);
}

void OpenCVPredict::StopWorker() {
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    stopping_ = true;
  }
  jobs_ready_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

bool OpenCVPredict::ReadNetworkFromFiles(const std::string& network_path,
                                         const std::string& weights_path,
                                         const std::string& engine,
                                         cv::dnn::Net* net) {
  try {
    if (engine == "DLDT" || engine == "Torch") {
      *net = cv::dnn::readNet(weights_path, network_path, engine);
    } else {
      *net = cv::dnn::readNetFromONNX(weights_path);
    }
  } catch (const std::exception& e) {
    // OpenCV's readers also throw the standard library's exceptions (a
    // number out of range in a network text, a file that cannot be read).
    NoteError(e.what());
    *net = cv::dnn::Net();
  }
  if (net->empty() && error_.empty()) NoteError("The network is empty");
  return !net->empty();
}

bool OpenCVPredict::LoadFromFiles(const std::string& network_path,
                                  const std::string& weights_path,
                                  const std::string& mean_path,
                                  cv::Size input_size, int channels,
                                  const cv::Scalar& mean_scalar, double scale,
                                  bool swap_channels, const std::string& engine,
                                  int queue_size) {
  error_.clear();
  std::string mean_payload;
  std::string reason;
  if (!mean_path.empty()) {
    if (!ReadModelFile(mean_path, &mean_payload, &reason) ||
        mean_payload.empty()) {
      NoteError("Could not read the mean file " + mean_path +
                (reason.empty() ? "" : ": " + reason));
      return false;
    }
  }
  if (engine != "DLDT" && engine != "Torch" && engine != "ONNX") {
    std::string network_bytes;
    std::string weights_bytes;
    if (!ReadModelFile(network_path, &network_bytes, &reason) ||
        !ReadModelFile(weights_path, &weights_bytes, &reason)) {
      NoteError(reason);
      return false;
    }
    return LoadFromBytes(network_bytes, weights_bytes, mean_payload, input_size,
                         channels, mean_scalar, scale, swap_channels, engine,
                         queue_size);
  }
  for (const std::string* path : {&network_path, &weights_path}) {
    std::error_code code;
    if (!path->empty() && std::filesystem::is_directory(*path, code)) {
      NoteError("Cannot read the model file \"" + *path +
                "\": not a regular file");
      return false;
    }
  }
  if (!ReadNetworkFromFiles(network_path, weights_path, engine, &network_))
    return false;
  if (!FinishLoad(input_size, channels, mean_scalar, scale, swap_channels,
                  engine, mean_payload, queue_size)) {
    return false;
  }
  AddWorkerNetworks(queue_size, [&](cv::dnn::Net* net) {
    return ReadNetworkFromFiles(network_path, weights_path, engine, net);
  });
  return true;
}

bool OpenCVPredict::LoadThroughTemporaryFiles(const std::string& network_bytes,
                                              const std::string& weights_bytes,
                                              const std::string& engine,
                                              cv::dnn::Net* net) {
  const std::string network_path = WriteTemporaryFile(network_bytes);
  const std::string weights_path = WriteTemporaryFile(weights_bytes);
  bool ok = false;
  if (!network_path.empty() && !weights_path.empty()) {
    ok = ReadNetworkFromFiles(network_path, weights_path, engine, net);
  } else {
    std::cerr << "Could not save temporary files. Please use files instead of "
                 "buffers for DLDT and Torch."
              << std::endl;
    error_ = "Could not save temporary files";
  }
  if (!network_path.empty()) std::remove(network_path.c_str());
  if (!weights_path.empty()) std::remove(weights_path.c_str());
  return ok;
}

bool OpenCVPredict::ReadNetworkFromBytes(const std::string& network_bytes,
                                         const std::string& weights_bytes,
                                         const std::string& engine,
                                         cv::dnn::Net* net) {
  if (engine == "DLDT" || engine == "Torch") {
    return LoadThroughTemporaryFiles(network_bytes, weights_bytes, engine, net);
  }
  if (engine == "Darknet") {
    // OpenCV's reader trusts the text's indexes and strides.
    const std::string refusal = CheckDarknetText(network_bytes);
    if (!refusal.empty()) {
      NoteError(refusal);
      *net = cv::dnn::Net();
      return false;
    }
  }
  try {
    if (engine == "ONNX") {
      *net =
          cv::dnn::readNetFromONNX(weights_bytes.data(), weights_bytes.size());
    } else {
      *net = cv::dnn::readNet(engine, AsBuffer(weights_bytes),
                              AsBuffer(network_bytes));
    }
  } catch (const std::exception& e) {
    NoteError(e.what());
    *net = cv::dnn::Net();
  }
  if (net->empty() && error_.empty()) NoteError("The network is empty");
  return !net->empty();
}

bool OpenCVPredict::LoadFromBytes(const std::string& network_bytes,
                                  const std::string& weights_bytes,
                                  const std::string& mean_bytes,
                                  cv::Size input_size, int channels,
                                  const cv::Scalar& mean_scalar, double scale,
                                  bool swap_channels, const std::string& engine,
                                  int queue_size) {
  error_.clear();
  if (!ReadNetworkFromBytes(network_bytes, weights_bytes, engine, &network_)) {
    return false;
  }
  if ((channels < 1 || input_size.width < 1 || input_size.height < 1) &&
      engine == "Caffe") {
    const std::vector<int> dims = NetworkTextDimensions(network_bytes);
    if (dims.size() >= 4) {
      channels = dims[1];
      input_size = cv::Size(dims[3], dims[2]);
    }
  }
  if (!FinishLoad(input_size, channels, mean_scalar, scale, swap_channels,
                  engine, mean_bytes, queue_size)) {
    return false;
  }
  AddWorkerNetworks(queue_size, [&](cv::dnn::Net* net) {
    return ReadNetworkFromBytes(network_bytes, weights_bytes, engine, net);
  });
  return true;
}

void OpenCVPredict::AddWorkerNetworks(
    int queue_size, const std::function<bool(cv::dnn::Net*)>& read) {
  const int cores = std::max(1u, std::thread::hardware_concurrency());
  const int copies = std::min(queue_size, cores) - 1;
  for (int i = 0; i < copies; ++i) {
    auto copy = std::make_unique<NetworkCopy>();
    if (!read(&copy->net)) return;  // the workers that have a network run
    extra_networks_.push_back(std::move(copy));
  }
}

bool OpenCVPredict::FinishLoad(cv::Size input_size, int channels,
                               const cv::Scalar& mean_scalar, double scale,
                               bool swap_channels, const std::string& engine,
                               const std::string& mean_payload,
                               int queue_size) {
  if (!InputSizeAllowed(input_size)) {
    NoteError("The input size " + std::to_string(input_size.width) + " x " +
              std::to_string(input_size.height) + " is beyond the limit of " +
              std::to_string(kMaxInputSide) + " pixels a side and " +
              std::to_string(kMaxInputPixels) + " pixels");
    network_ = cv::dnn::Net();
    return false;
  }
  if (queue_size > kMaxQueueSize) {
    NoteError("The inference queue size " + std::to_string(queue_size) +
              " is beyond " + std::to_string(kMaxQueueSize));
    network_ = cv::dnn::Net();
    return false;
  }
  input_channels_ = channels;
  input_width_ = input_size.width;
  input_height_ = input_size.height;
  scale_ = scale;
  swap_channels_ = swap_channels;
  if (input_channels_ < 1 && engine != "Caffe") {
    NoteError("input_channels is required for engine " + engine);
    network_ = cv::dnn::Net();
    return false;
  }
  if (!ComputeOutputSize(engine)) {
    network_ = cv::dnn::Net();
    return false;
  }
  if (!mean_payload.empty()) {
    if (!ParseMeanPayload(mean_payload, &mean_image_)) {
      error_ = "Malformed mean payload";
      network_ = cv::dnn::Net();
      return false;
    }
  } else {
    mean_scalar_ = mean_scalar;
  }
  const size_t ring = queue_size > 0 ? static_cast<size_t>(queue_size) : 0;
  pending_.assign(ring, cv::AsyncArray());
  ring_blobs_.assign(ring, cv::Mat());
  write_index_ = 0;
  read_index_ = 0;
  pending_count_ = 0;
  return true;
}

bool OpenCVPredict::ComputeOutputSize(const std::string& engine) {
  try {
    const std::vector<cv::String> names = network_.getLayerNames();
    if (names.empty()) {
      std::cerr << "Error: Network should have exactly one output."
                << std::endl;
      error_ = "Network should have exactly one output";
      return false;
    }
    const int last = network_.getLayerId(names.back());
    const cv::dnn::MatShape input = {1, input_channels_, input_height_,
                                     input_width_};
    std::vector<cv::dnn::MatShape> in_shapes, out_shapes;
    network_.getLayerShapes(input, last, in_shapes, out_shapes);
    if (out_shapes.size() != 1) {
      std::cerr << "Error: Network should have exactly one output."
                << std::endl;
      error_ = "Network should have exactly one output";
      return false;
    }
    output_size_ = out_shapes[0].size() > 1 ? out_shapes[0][1] : 0;
  } catch (const std::exception& e) {
    NoteError(e.what());
    return false;
  }
  return true;
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
  if (pending_.empty()) {
    std::cerr << "Inference queue size should be greater than 0" << std::endl;
    return PushStatus::kFailed;
  }
  const int64_t ring = static_cast<int64_t>(pending_.size());
  if (pending_count_.load() >= ring) return PushStatus::kFull;
  cv::Mat& blob = ring_blobs_[write_index_];
  try {
    PrepareBlob(image, &blob);
  } catch (const cv::Exception& e) {
    absl::Status refused = absl::InternalError(e.what());
    WriteError(refused);
    return refused;
  }
  Job job;
  job.blob = blob;
  pending_[write_index_] = job.promise.getArrayResult();
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    if (workers_.empty()) {
      for (size_t i = 0; i <= extra_networks_.size(); ++i)
        workers_.emplace_back(&OpenCVPredict::RunWorker, this, i);
    }
    jobs_.push_back(std::move(job));
  }
  jobs_ready_.notify_one();
  write_index_ = (write_index_ + 1) % ring;
  AddPending(1);
  return PushStatus::kPushed;
}

void OpenCVPredict::AddPending(int64_t delta) {
  {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    pending_count_.fetch_add(delta);
  }
  ring_changed_.notify_all();
}

void OpenCVPredict::WaitForRoom() {
  std::unique_lock<std::mutex> lock(ring_mutex_);
  ring_changed_.wait(lock, [this] { return !Full(); });
}

bool OpenCVPredict::WaitForPending(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(ring_mutex_);
  return ring_changed_.wait_for(lock, limit,
                                [this] { return pending_count_.load() > 0; });
}

std::vector<float> OpenCVPredict::Pop() {
  std::vector<float> rows;
  PopInto(&rows);
  return rows;
}

bool OpenCVPredict::PopInto(std::vector<float>* rows) {
  rows->clear();
  if (pending_count_.load() == 0) return false;
  cv::AsyncArray& slot = pending_[read_index_];
  cv::Mat output;
  try {
    if (!slot.get(output, kPopTimeoutNs)) return false;
  } catch (const cv::Exception& e) {
    WriteOpenCVError(e);
    output.release();
  }
  slot.release();
  read_index_ = (read_index_ + 1) % static_cast<int64_t>(pending_.size());
  AddPending(-1);
  *rows = Flatten(output);
  return true;
}

void OpenCVPredict::RunWorker(size_t index) {
  cv::dnn::Net& net = index == 0 ? network_ : extra_networks_[index - 1]->net;
  std::mutex& mutex =
      index == 0 ? network_mutex_ : extra_networks_[index - 1]->mutex;
  std::vector<cv::Mat> outputs;
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(jobs_mutex_);
      jobs_ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      std::lock_guard<std::mutex> lock(mutex);
      job.promise.setValue(Forward(net, job.blob, "", &outputs));
    } catch (const cv::Exception& e) {
      WriteOpenCVError(e);
      job.promise.setValue(cv::Mat());
    }
  }
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
