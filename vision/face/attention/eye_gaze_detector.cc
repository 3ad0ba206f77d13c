#include "vision/face/attention/eye_gaze_detector.h"

#include <cmath>
#include <cstdio>
#include <string>

#include <opencv2/imgproc.hpp>

#include "vision/config/setup_notes.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {
namespace {

std::vector<uchar> Buffer(const std::string& bytes) {
  return std::vector<uchar>(bytes.begin(), bytes.end());
}

// The network of the parameters' payload, read as the predictors read it:
// from files or bytes; "DLDT" and "Torch" bytes through temporary files.
cv::dnn::Net ReadNetwork(const ModelParameters& p) {
  const std::string& engine = p.engine;
  if (p.from_files) {
    if (engine == "ONNX") return cv::dnn::readNetFromONNX(p.weights);
    return cv::dnn::readNet(p.weights, p.network, engine);
  }
  if (engine == "ONNX")
    return cv::dnn::readNetFromONNX(p.weights.data(), p.weights.size());
  if (engine != "DLDT" && engine != "Torch")
    return cv::dnn::readNet(engine, Buffer(p.weights), Buffer(p.network));
  const std::string network = WriteTemporaryFile(p.network);
  const std::string weights = WriteTemporaryFile(p.weights);
  cv::dnn::Net net;
  if (!network.empty() && !weights.empty())
    net = cv::dnn::readNet(weights, network, engine);
  if (!network.empty()) std::remove(network.c_str());
  if (!weights.empty()) std::remove(weights.c_str());
  return net;
}

}  // namespace

bool EyeGazeDetector::Load(const Entity& model, double horizontal_threshold,
                           double vertical_threshold) {
  horizontal_ = horizontal_threshold;
  vertical_ = vertical_threshold;
  geometry_ = ReadModelParameters(model);
  if (geometry_.input_channels < 1) geometry_.input_channels = 3;
  try {
    net_ = ReadNetwork(geometry_);
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    net_ = cv::dnn::Net();
  }
  if (net_.empty()) {
    NoteError("Could not load the eye-gaze network");
    return false;
  }
  angles_blob_.create(1, 3, CV_32F);
  return true;
}

cv::Rect EyeGazeDetector::EyeBox(const cv::Point2f& eye, int face_width) {
  const double w = face_width;
  return cv::Rect(TruncateToInt(eye.x - 0.15 * w),
                  TruncateToInt(eye.y - 0.09 * w), TruncateToInt(0.3 * w),
                  TruncateToInt(0.24 * w));
}

void EyeGazeDetector::MakeBlob(const cv::Mat& crop, cv::Mat* blob) {
  const cv::Mat* source = &crop;
  if (geometry_.input_channels == 1 && crop.channels() == 3) {
    cv::cvtColor(crop, converted_, cv::COLOR_BGR2GRAY);
    source = &converted_;
  }
  const bool swap = geometry_.swap_channels && geometry_.input_channels != 1;
  cv::dnn::blobFromImage(*source, *blob, geometry_.scale, geometry_.input_size,
                         geometry_.mean_scalar, swap, false, CV_32F);
}

bool EyeGazeDetector::RunNetwork(const cv::Mat& frame, const cv::Rect& left,
                                 const cv::Rect& right,
                                 const HeadAngles& angles) {
  try {
    MakeBlob(frame(left), &left_blob_);
    MakeBlob(frame(right), &right_blob_);
    float* a = angles_blob_.ptr<float>();
    a[0] = static_cast<float>(angles.yaw);
    a[1] = static_cast<float>(angles.pitch);
    a[2] = static_cast<float>(angles.roll);
    net_.setInput(left_blob_, "left_eye_image");
    net_.setInput(right_blob_, "right_eye_image");
    net_.setInput(angles_blob_, "head_pose_angles");
    const cv::Mat output = net_.forward();
    const cv::Mat flat = output.isContinuous() ? output : output.clone();
    gaze_.assign(flat.ptr<float>(), flat.ptr<float>() + flat.total());
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    return false;
  }
  return true;
}

bool EyeGazeDetector::IsLooking(const cv::Mat& frame, const cv::Rect& face_box,
                                const HeadAngles& angles,
                                const std::vector<cv::Point2f>& points) {
  gaze_.clear();
  if (net_.empty() || points.size() < 3) {
    NoteError("Eye gaze needs a network and the eye landmarks");
    return false;
  }
  const cv::Rect bounds(0, 0, frame.cols, frame.rows);
  const cv::Rect left = EyeBox(points[1], face_box.width) & bounds;
  const cv::Rect right = EyeBox(points[2], face_box.width) & bounds;
  if (left.empty() || right.empty()) {
    NoteError("Eye region outside the frame");
    return false;
  }
  if (!RunNetwork(frame, left, right, angles)) return false;
  if (!CheckOutputLength(gaze_, 2, "The eye-gaze network")) return false;
  double length = 0.0;
  for (float g : gaze_) length += static_cast<double>(g) * g;
  length = std::sqrt(length);
  if (!(length > 0.0)) {
    NoteError("The eye-gaze network gave a zero gaze vector");
    return false;
  }
  return vertical_ > std::abs(gaze_[0] / length) &&
         horizontal_ > std::abs(gaze_[1] / length);
}

}  // namespace talvenrook_vision
