#include "vision/regions/roi_set.h"

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/drawing/drawing.h"
#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {
namespace {

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

absl::Status RoiSet::Configure(const KestuEyeConfig& config,
                               bool judge_day_night) {
  judges_ = judge_day_night;
  const absl::Status night =
      judges_ ? night_.Configure(config) : absl::OkStatus();
  rois_.clear();
  PlaceListSettings lists;
  WriteKeyProblems(
      PlaceListKeyTable().ReadOnly(config.config(), {"rois"}, &lists));
  const ArrayValue& list = lists.rois;
  if (list.values_size() == 0) {
    NoteInfo("No ROI found. ");
    rois_.push_back(std::make_unique<Roi>(0));
    rois_.back()->Configure(WholeFrameRoi(), config);
    return LoadStatus(night);
  }
  WriteConfiguringLine(list.values_size(), "ROI");
  for (int i = 0; i < list.values_size(); ++i) {
    rois_.push_back(std::make_unique<Roi>(i));
    rois_.back()->Configure(AsEntity(list.values(i)), config);
    const cv::Rect& r = rois_.back()->configured_rect();
    NoteInfo(absl::StrCat("Roi #", i + 1, ": [", r.width, " x ", r.height,
                          " from (", r.x, ", ", r.y, ")]"));
  }
  return LoadStatus(night);
}

void RoiSet::SetTaskRunner(const std::shared_ptr<TaskRunner>& runner) {
  for (const auto& roi : rois_) {
    for (DetectorAdapter* adapter : {roi->day_adapter(), roi->night_adapter()})
      if (adapter != nullptr) adapter->SetTaskRunner(runner);
  }
}

absl::Status RoiSet::LoadStatus(const absl::Status& night) const {
  if (!night.ok()) return night;
  for (const auto& roi : rois_) {
    if (!roi->load_error().empty()) {
      return SetupError("ROI #" + std::to_string(roi->index() + 1) + " " +
                        roi->load_error());
    }
  }
  return absl::OkStatus();
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

RoiSet::Pushed RoiSet::PushFrame(const cv::Mat& frame,
                                 const std::vector<char>* run, int moment) {
  Pushed pushed;
  SwitchDayNight(frame, moment);
  for (size_t i = 0; i < rois_.size(); ++i) {
    auto& roi = rois_[i];
    const FrameRecord record = roi->Crop(frame);
    const bool wanted = run == nullptr || i >= run->size() || (*run)[i];
    PendingFrame entry;
    entry.adapter = wanted ? roi->ActiveAdapter() : nullptr;
    entry.crop = record.crop_rect;
    // Every region gets its entry, so that the pops stay in step: a push
    // that fails or throws gives an empty list (with OpenCV's reason when
    // it refused the crop).
    try {
      if (entry.adapter) {
        const absl::StatusOr<bool> taken =
            entry.adapter->TryPushFrame(record.crop);
        if (!taken.ok()) {
          entry.status = taken.status();
          if (pushed.refused.ok()) pushed.refused = taken.status();
        }
        if (!taken.ok() || !*taken) entry.adapter = nullptr;
      }
    } catch (const std::exception& e) {
      NoteError(e.what());
      entry.adapter = nullptr;
    }
    pushed.regions.push_back(std::move(entry));
  }
  return pushed;
}

std::vector<DetectionList> RoiSet::PopDetections(const Pushed& pushed) {
  std::vector<DetectionList> lists(rois_.size());
  for (size_t i = 0; i < rois_.size(); ++i) {
    // A frame pushed before the regions were configured again has no
    // entry for this region: nothing to pop.
    const PendingFrame entry =
        i < pushed.regions.size() ? pushed.regions[i] : PendingFrame();
    if (entry.adapter) lists[i] = entry.adapter->PopDetections();
    if (!entry.status.ok()) lists[i].status = entry.status;
    ShiftInto(entry.crop, rois_[i]->index(), &lists[i]);
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
