#include "vision/regions/roi_set.h"

#include <iostream>

#include "vision/drawing/drawing.h"

namespace talvenrook_vision {
namespace {

constexpr std::chrono::milliseconds kPopLimit(10000);
const cv::Scalar kRoiOuter(0, 0, 0);
const cv::Scalar kRoiInner(255, 255, 0);

Entity WholeFrameRoi() {
  Entity roi;
  for (const char* key : {"x", "y", "width", "height"})
    (*roi.mutable_properties())[key].set_integer_value(0);
  return roi;
}

void ShiftInto(const cv::Rect& crop, int32_t index, DetectionList* list) {
  list->roi_index = index;
  for (cv::Rect& box : list->boxes) {
    box.x += crop.x;
    box.y += crop.y;
  }
}

}  // namespace

SetupStatus RoiSet::Configure(const KestuEyeConfig& config,
                              bool judge_day_night) {
  judges_ = judge_day_night;
  const SetupStatus night =
      judges_ ? night_.Configure(config) : SetupStatus::Ok();
  rois_.clear();
  ArrayValue list;
  ReadPropertyIfPresent(config.config(), "rois", &list);
  if (list.values_size() == 0) {
    std::cerr << "INFO: No ROI found. " << std::endl;
    rois_.push_back(std::make_unique<Roi>(0));
    rois_.back()->Configure(WholeFrameRoi(), config);
    return LoadStatus(night);
  }
  WriteConfiguringLine(list.values_size(), "ROI");
  for (int i = 0; i < list.values_size(); ++i) {
    rois_.push_back(std::make_unique<Roi>(i));
    rois_.back()->Configure(AsEntity(list.values(i)), config);
    const cv::Rect& r = rois_.back()->configured_rect();
    std::cerr << "INFO: Roi #" << (i + 1) << ": [" << r.width << " x "
              << r.height << " from (" << r.x << ", " << r.y << ")]"
              << std::endl;
  }
  return LoadStatus(night);
}

SetupStatus RoiSet::LoadStatus(const SetupStatus& night) const {
  if (!night.ok()) return night;
  for (const auto& roi : rois_) {
    if (!roi->load_error().empty()) {
      return SetupStatus::Error("ROI #" + std::to_string(roi->index() + 1) +
                                " " + roi->load_error());
    }
  }
  return SetupStatus::Ok();
}

void RoiSet::SwitchDayNight(const cv::Mat& frame, int moment) {
  if (moment == kJudge) {
    if (!judges_ || !night_.enabled()) return;
    moment = night_.Judge(frame);
  }
  if (moment == NightSolution::kOff || moment == moment_.load()) return;
  moment_ = moment;
  for (auto& roi : rois_) roi->SetNight(moment == NightSolution::kNight);
}

std::vector<cv::Rect> RoiSet::Regions(const cv::Size& frame_size) const {
  std::vector<cv::Rect> regions;
  regions.reserve(rois_.size());
  for (const auto& roi : rois_) regions.push_back(roi->RegionOf(frame_size));
  return regions;
}

std::vector<DetectionList> RoiSet::Detect(const cv::Mat& frame,
                                          const std::vector<char>* run,
                                          int moment) {
  std::vector<DetectionList> lists(rois_.size());
  if (frame.empty()) {
    for (size_t i = 0; i < rois_.size(); ++i)
      lists[i].roi_index = rois_[i]->index();
    return lists;
  }
  SwitchDayNight(frame, moment);
  for (size_t i = 0; i < rois_.size(); ++i) {
    Roi& roi = *rois_[i];
    const FrameRecord record = roi.Crop(frame);
    const bool wanted = run == nullptr || i >= run->size() || (*run)[i];
    DetectorAdapter* adapter = wanted ? roi.ActiveAdapter() : nullptr;
    if (adapter) lists[i] = adapter->Detect(record.crop);
    ShiftInto(record.crop_rect, roi.index(), &lists[i]);
  }
  return lists;
}

absl::Status RoiSet::PushFrame(const cv::Mat& frame,
                               const std::vector<char>* run, int moment) {
  absl::Status refused;
  SwitchDayNight(frame, moment);
  for (size_t i = 0; i < rois_.size(); ++i) {
    auto& roi = rois_[i];
    const FrameRecord record = roi->Crop(frame);
    const bool wanted = run == nullptr || i >= run->size() || (*run)[i];
    DetectorAdapter* adapter = wanted ? roi->ActiveAdapter() : nullptr;
    // Every region gets its entry, so that the pops stay in step: a push
    // that fails or throws gives an empty list.
    try {
      if (adapter) {
        const absl::StatusOr<bool> pushed = adapter->TryPushFrame(record.crop);
        if (!pushed.ok() && refused.ok()) refused = pushed.status();
        if (!pushed.ok() || !*pushed) adapter = nullptr;
      }
    } catch (const std::exception& e) {
      std::cerr << "ERROR: " << e.what() << std::endl;
      adapter = nullptr;
    }
    roi->AppendPending(adapter, record.crop_rect);
  }
  return refused;
}

std::vector<DetectionList> RoiSet::PopDetections() {
  std::vector<DetectionList> lists(rois_.size());
  for (size_t i = 0; i < rois_.size(); ++i) {
    std::pair<DetectorAdapter*, cv::Rect> entry{nullptr, cv::Rect()};
    if (rois_[i]->TakePending(&entry, kPopLimit) && entry.first)
      lists[i] = entry.first->PopDetections();
    ShiftInto(entry.second, rois_[i]->index(), &lists[i]);
  }
  return lists;
}

void RoiSet::Draw(cv::Mat& frame) const {
  if (frame.empty()) return;
  if (judges_) night_.Draw(frame, moment_.load());
  for (const auto& roi : rois_) {
    const DetectorAdapter* adapter = roi->ActiveAdapter();
    const std::string type = adapter ? adapter->TypeVersion().first : "";
    // The region is that of the frame being drawn, not the one that the
    // producer thread may be cutting at the same moment.
    DrawLabelledRectangle(frame, roi->RegionOf(frame.size()), kRoiOuter,
                          kRoiInner,
                          type + "  ROI #" + std::to_string(roi->index()));
  }
}

}  // namespace talvenrook_vision
