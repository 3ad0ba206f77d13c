#include "vision/face/attention/mtcnn_landmark_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "vision/config/setup_notes.h"
#include "vision/face/common/face_labels.h"
#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {
namespace {

LandmarkResult Failed(const cv::Rect& box) {
  LandmarkResult result;
  result.aligned_box = box;
  result.confidence = 0.0f;
  return result;
}

// x + w * value, in floats.
float Along(int origin, int size, float value) {
  return static_cast<float>(origin) + static_cast<float>(size) * value;
}

void StandardAlignment(LandmarkResult* result) {
  const cv::Point2f& left = result->points[1];
  const cv::Point2f& right = result->points[2];
  const cv::Point2f& mouth = result->points[4];
  const cv::Point2f eyes((left.x + right.x) / 2.0f, (left.y + right.y) / 2.0f);
  const float side = 2.2f * std::sqrt((eyes.x - mouth.x) * (eyes.x - mouth.x) +
                                      (eyes.y - mouth.y) * (eyes.y - mouth.y));
  const int x =
      TruncateToInt(mouth.x + 0.55f * (eyes.x - mouth.x) - side / 2.0f);
  const int y =
      TruncateToInt(mouth.y - 0.55f * (mouth.y - eyes.y) - side / 2.0f);
  const int length = TruncateToInt(side);
  result->aligned_box = cv::Rect(x, y, length, length);
  result->points[0] = cv::Point2f(static_cast<float>(x), static_cast<float>(y));
}

}  // namespace

absl::Status MTCNNLandmarkDetector::Load(const Entity& pipeline_config,
                                         const Entity& model) {
  bool use_std_align_box = true;
  ReadPropertyIfPresent(pipeline_config, "use_std_align_box",
                        &use_std_align_box);
  return Load(use_std_align_box, model);
}

absl::Status MTCNNLandmarkDetector::Load(bool use_std_align_box,
                                         const Entity& model) {
  std::cerr << "Loading MTCNNLandmarkDetector" << std::endl;
  use_std_align_box_ = use_std_align_box;
  const std::string version = GetPropertyOr(model, "version", "");
  InstallDecoder(version == "0.0.2" ? OutputLayout::kPlanar
                                    : OutputLayout::kInterleaved);
  std::cerr << "Standard alignment: " << (use_std_align_box_ ? 1 : 0)
            << std::endl;
  absl::StatusOr<std::unique_ptr<OpenCVPredict>> predictor =
      CreatePredictor(model);
  if (!predictor.ok()) {
    predictor_.reset();
    NoteError("Could not load the landmark network");
    return predictor.status();
  }
  predictor_ = std::move(*predictor);
  return absl::OkStatus();
}

cv::Mat MTCNNLandmarkDetector::CropWithPadding(const cv::Mat& frame,
                                               const cv::Rect& box,
                                               cv::Mat* scratch) {
  if (box.width <= 0 || box.height <= 0) return cv::Mat();
  const cv::Rect visible = box & cv::Rect(0, 0, frame.cols, frame.rows);
  if (visible.empty()) return cv::Mat();
  if (visible == box) return frame(box);
  scratch->create(box.height, box.width, frame.type());
  scratch->setTo(cv::Scalar::all(0));
  frame(visible).copyTo((*scratch)(visible - box.tl()));
  return *scratch;
}

bool MTCNNLandmarkDetector::Decode(const std::vector<float>& o,
                                   const cv::Rect& box, OutputLayout layout,
                                   bool std_align, LandmarkResult* result) {
  if (!CheckOutputLength(o, kOutputSize, "The landmark network")) return false;
  const int x = box.x, y = box.y, w = box.width, h = box.height;
  const int x1 = x + TruncateToInt(w * o[10]);
  const int y1 = y + TruncateToInt(h * o[11]);
  const int x2 = x + w + TruncateToInt(w * o[12]);
  const int y2 = y + h + TruncateToInt(h * o[13]);
  result->aligned_box = cv::Rect(std::min(x1, x2), std::min(y1, y2),
                                 std::abs(x2 - x1), std::abs(y2 - y1));
  result->confidence = o[15];
  result->points.assign(5, cv::Point2f());
  result->points[0] = cv::Point2f(static_cast<float>(result->aligned_box.x),
                                  static_cast<float>(result->aligned_box.y));
  if (layout == OutputLayout::kPlanar) {
    result->points[1] = {Along(x, w, o[0]), Along(y, h, o[5])};
    result->points[2] = {Along(x, w, o[1]), Along(y, h, o[6])};
    result->points[3] = {Along(x, w, o[2]), Along(y, h, o[7])};
    result->points[4] = {Along(x, w, (o[3] + o[4]) / 2.0f),
                         Along(y, h, (o[8] + o[9]) / 2.0f)};
  } else {
    result->points[1] = {Along(x, w, o[0]), Along(y, h, o[1])};
    result->points[2] = {Along(x, w, o[2]), Along(y, h, o[3])};
    result->points[3] = {Along(x, w, o[4]), Along(y, h, o[5])};
    result->points[4] = {Along(x, w, (o[6] + o[8]) / 2.0f),
                         Along(y, h, (o[7] + o[9]) / 2.0f)};
  }
  if (std_align) StandardAlignment(result);
  return true;
}

LandmarkResult MTCNNLandmarkDetector::Detect(const cv::Mat& frame,
                                             const cv::Mat& grey,
                                             const cv::Rect& box) {
  if (!predictor_) return Failed(box);
  const cv::Mat crop = CropWithPadding(frame, box, &padded_);
  if (crop.empty()) {
    std::ostringstream text;
    text << "Face box " << box << " has no part inside the frame";
    NoteError(text.str());
    return Failed(box);
  }
  output_ = predictor_->Predict(crop, "");
  LandmarkResult result;
  if (!Decode(output_, box, layout_, use_std_align_box_, &result))
    return Failed(box);
  return result;
}

}  // namespace talvenrook_vision
