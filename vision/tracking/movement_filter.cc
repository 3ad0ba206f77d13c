#include "vision/tracking/movement_filter.h"

#include <iostream>

#include <opencv2/imgproc.hpp>
#include <opencv2/video.hpp>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {

cv::Ptr<cv::BackgroundSubtractor> CreateBackgroundSubtractor(
    const std::string& method, int history, double threshold,
    bool detect_shadows) {
  if (method == "MOG2") {
    return cv::createBackgroundSubtractorMOG2(history, threshold,
                                              detect_shadows);
  }
  if (method == "KNN") {
    return cv::createBackgroundSubtractorKNN(history, threshold * threshold,
                                             detect_shadows);
  }
  std::cerr << "Unknow method " << method << std::endl;
  return nullptr;
}

const KeyTable<MovementFilter::Settings>& MovementFilter::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Movement filter",
        "Keys of the face pipeline's \"detection_movement_filter\" map: a "
        "background model per region tells which detections move.");
    t->Int("morphologic_factor", &S::morphologic_factor,
           "Side of the ellipse that cleans the foreground mask (0: none).")
        .Int("history", &S::history, "Frames the background model learns from.")
        .Double("var_threshold", &S::var_threshold,
                "Distance from the background of a foreground pixel.")
        .Double("scale_factor", &S::scale_factor,
                "Scale of the frame the model learns from.");
    return t;
  }();
  return *table;
}

void MovementFilter::Configure(const Entity& config,
                               const std::vector<cv::Rect>& rois) {
  Settings settings;
  WriteKeyProblems(Keys().Read(config, &settings));
  morphologic_factor_ = settings.morphologic_factor;
  history_ = settings.history;
  var_threshold_ = settings.var_threshold;
  scale_factor_ = settings.scale_factor;
  kernel_.release();
  if (morphologic_factor_ > 0) {
    kernel_ = cv::getStructuringElement(
        cv::MORPH_ELLIPSE, cv::Size(morphologic_factor_, morphologic_factor_));
  }
  rois_ = rois;
  models_.clear();
  for (size_t i = 0; i < rois_.size(); ++i) models_.push_back(NewModel());
  masks_.assign(rois_.size(), cv::Mat());
}

cv::Ptr<cv::BackgroundSubtractor> MovementFilter::NewModel() const {
  return CreateBackgroundSubtractor("KNN", history_, var_threshold_, false);
}

cv::Rect MovementFilter::ModelRoi(size_t index, const cv::Mat& frame) {
  cv::Mat& mask = masks_[index];
  // A region reaching past the frame is modelled on its visible part.
  const cv::Rect roi = rois_[index] & cv::Rect(0, 0, frame.cols, frame.rows);
  if (!models_[index] || roi.empty()) {
    mask.release();
    return roi;
  }
  const cv::Mat crop = frame(roi);
  if (scale_factor_ > 0) {
    cv::resize(crop, scaled_, cv::Size(), scale_factor_, scale_factor_,
               cv::INTER_LINEAR);
    models_[index]->apply(scaled_, mask, -1);
  } else {
    models_[index]->apply(crop, mask, -1);
  }
  if (!kernel_.empty()) {
    cv::erode(mask, mask, kernel_);
    cv::dilate(mask, mask, kernel_);
  }
  return roi;
}

double MovementFilter::BoxForeground(const cv::Rect& box, const cv::Rect& roi,
                                     const cv::Mat& mask) const {
  cv::Rect relative(box.x - roi.x, box.y - roi.y, box.width, box.height);
  if (scale_factor_ > 0) {
    relative = cv::Rect(static_cast<int>(relative.x * scale_factor_),
                        static_cast<int>(relative.y * scale_factor_),
                        static_cast<int>(relative.width * scale_factor_),
                        static_cast<int>(relative.height * scale_factor_));
  }
  // A box too small to cover one mask pixel has no foreground share.
  if (relative.area() <= 0) return -1.0;
  const cv::Rect inside = relative & cv::Rect(0, 0, mask.cols, mask.rows);
  const int foreground = inside.empty() ? 0 : cv::countNonZero(mask(inside));
  return static_cast<double>(foreground) / relative.area();
}

const std::vector<bool>& MovementFilter::Moving(
    const cv::Mat& frame, const std::vector<cv::Rect>& boxes, double fraction) {
  flags_.assign(boxes.size(), false);
  if (frame.empty()) return flags_;
  if (rois_.empty()) {
    rois_.emplace_back(0, 0, frame.cols, frame.rows);
    models_.push_back(NewModel());
    masks_.emplace_back();
  }
  try {
    for (size_t r = 0; r < rois_.size(); ++r) {
      const cv::Rect roi = ModelRoi(r, frame);
      if (masks_[r].empty()) continue;
      for (size_t i = 0; i < boxes.size(); ++i) {
        if ((boxes[i] & roi) != boxes[i]) continue;
        const double share = BoxForeground(boxes[i], roi, masks_[r]);
        flags_[i] = share >= 0.0 && fraction <= share;
      }
    }
  } catch (const cv::Exception& e) {
    NoteError(e.what());
  }
  return flags_;
}

}  // namespace talvenrook_vision
