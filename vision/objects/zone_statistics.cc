#include "vision/objects/zone_statistics.h"

#include <opencv2/imgproc.hpp>

#include "vision/objects/object_keys.h"
#include "vision/objects/speed_units.h"

namespace talvenrook_vision {
namespace {

constexpr double kPanelShare = 0.15;
constexpr double kLineHeights[4] = {0.22, 0.44, 0.66, 0.88};
constexpr int kTextIndent = 6;
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kWhite(255, 255, 255);

}  // namespace

void ZoneStatistics::Configure(const Entity& config) {
  WrapperSettings pipeline;
  pipeline.speed_unit = speed_unit_;
  WriteKeyProblems(WrapperKeyTable().ReadOnly(
      config, {"speed_unit", "stats_options"}, &pipeline));
  speed_unit_ = pipeline.speed_unit;
  if (!HasProperty(config, "stats_options")) return;
  enabled_ = true;
  StatisticsSettings options;
  options.show_speed = show_speed_;
  options.show_average_speed = show_average_speed_;
  options.show_count_per_zone = show_count_per_zone_;
  WriteKeyProblems(StatisticsKeyTable().Read(pipeline.stats_options, &options));
  show_speed_ = options.show_speed;
  show_average_speed_ = options.show_average_speed;
  show_count_per_zone_ = options.show_count_per_zone;
}

void ZoneStatistics::Restore(const std::string& zone_name, int64_t count,
                             double speed_sum, float last_speed) {
  if (count <= 0) return;
  counts_[zone_name] += static_cast<int32_t>(count);
  speed_sums_[zone_name] += static_cast<float>(speed_sum);
  last_speeds_.emplace(zone_name, last_speed);
}

void ZoneStatistics::Record(const std::string& zone_name, float speed) {
  counts_[zone_name] += 1;
  speed_sums_[zone_name] += speed;
  last_speeds_[zone_name] = speed;
}

std::array<std::string, 4> ZoneStatistics::ColumnText(
    const std::string& zone_name) const {
  int32_t count = 0;
  float sum = 0.0f, last = 0.0f;
  if (auto it = counts_.find(zone_name); it != counts_.end())
    count = it->second;
  if (auto it = speed_sums_.find(zone_name); it != speed_sums_.end())
    sum = it->second;
  if (auto it = last_speeds_.find(zone_name); it != last_speeds_.end())
    last = it->second;
  std::array<std::string, 4> lines;
  lines[0] = zone_name;
  lines[1] = show_speed_ && sum > 0.0f ? SpeedText(last, speed_unit_) : "-";
  lines[2] = show_average_speed_ && count > 0 && sum > 0.0f
                 ? SpeedText(sum / static_cast<float>(count), speed_unit_)
                 : "-";
  lines[3] = show_count_per_zone_ ? std::to_string(count) : "-";
  return lines;
}

void ZoneStatistics::DrawColumn(cv::Mat& frame, int x, int panel_height,
                                const std::array<std::string, 4>& lines) const {
  cv::rectangle(frame, cv::Rect(x, 0, kColumnWidth, panel_height), kBlack,
                cv::FILLED, cv::LINE_8);
  for (int i = 0; i < 4; ++i) {
    const int y = static_cast<int>(panel_height * kLineHeights[i]);
    cv::putText(frame, lines[i], cv::Point(x + kTextIndent, y),
                cv::FONT_HERSHEY_PLAIN, 1.0, kWhite, 1, cv::LINE_8);
  }
}

void ZoneStatistics::Draw(cv::Mat& frame) const {
  if (!enabled_ || frame.empty()) return;
  const int panel_height = static_cast<int>(frame.rows * kPanelShare);
  int k = 1;
  for (const auto& entry : counts_) {
    DrawColumn(frame, frame.cols - kColumnWidth * k, panel_height,
               ColumnText(entry.first));
    ++k;
  }
  DrawColumn(frame, frame.cols - kColumnWidth * k, panel_height,
             {"Zone", "Speed", "Average", "Count"});
}

void RecordZoneExits(const ::talvenrook::vision::v1::VisionResult& result,
                     ZoneStatistics* statistics) {
  for (const auto& event : result.vision_event()) {
    if (event.tag() == ::talvenrook::vision::v1::ZONE_EXIT)
      statistics->Record(event.zone_name(), event.speed());
  }
}

}  // namespace talvenrook_vision
