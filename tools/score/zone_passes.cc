#include "tools/score/zone_passes.h"

#include <algorithm>
#include <unordered_map>

#include "vision/tracking/track.h"
#include "vision/tracking/zone_events.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using talvenrook_vision::Zone;

// A truth box's centre as the pipelines compute a track's: the integer
// box, then BoxCenter.
cv::Point CentreOf(const cv::Rect2d& box) {
  return talvenrook_vision::BoxCenter(
      cv::Rect(static_cast<int>(box.x), static_cast<int>(box.y),
               static_cast<int>(box.width), static_cast<int>(box.height)));
}

}  // namespace

bool ZonePasses::Configure(const Entity& config, std::string* error) {
  zones_.clear();
  counts_.clear();
  frames_.clear();
  warnings_.clear();
  talvenrook_vision::ZoneEvents events;
  bool complete = false;
  try {
    complete = events.Configure(config);
  } catch (const talvenrook_vision::MissingPropertyError& e) {
    *error = std::string("the zones are not valid: ") + e.what();
    return false;
  }
  if (!complete) {
    *error = "the zones are not valid (see the lines above)";
    return false;
  }
  if (events.zones().empty()) {
    *error = "no zone to count passes with";
    return false;
  }
  for (const Zone& zone : events.zones()) {
    zones_.emplace_back(zone.a(), zone.b(), zone.height(), zone.name(),
                        /*repeat=*/true);
    kestu::tools::ZonePassReport count;
    count.set_zone_id(static_cast<int32_t>(counts_.size()));
    count.set_zone_name(zone.name());
    counts_.push_back(count);
  }
  frames_.resize(zones_.size());
  return true;
}

void ZonePasses::CountTruth(const MotFrames& truth,
                            bool ignore_zero_confidence) {
  // Zones keep their state by 32-bit track id: give every truth identity
  // its own small one.
  std::unordered_map<int64_t, int32_t> track_of;
  for (size_t f = 0; f < truth.size(); ++f) {
    for (const MotBox& box : truth[f]) {
      if (ignore_zero_confidence && box.zero_confidence) continue;
      const int32_t track =
          track_of.emplace(box.id, static_cast<int32_t>(track_of.size()))
              .first->second;
      const cv::Point centre = CentreOf(box.box);
      for (size_t z = 0; z < zones_.size(); ++z) {
        kestu::tools::ZonePassReport& count = counts_[z];
        const int code = zones_[z].Check(track, centre);
        if (code == Zone::kForward) {
          count.set_truth_forward(count.truth_forward() + 1);
        } else if (code == Zone::kBackward) {
          count.set_truth_backward(count.truth_backward() + 1);
        } else {
          continue;
        }
        frames_[z].truth[code == Zone::kForward ? 0 : 1].push_back(
            static_cast<int64_t>(f) + 1);
      }
    }
  }
  for (Zone& zone : zones_) {
    for (const auto& entry : track_of) zone.Forget(entry.second);
  }
}

void ZonePasses::CountRun(const v1::VisionResultList& results,
                          int frame_offset) {
  for (int k = 0; k < results.vision_results_size(); ++k) {
    const int64_t f = static_cast<int64_t>(k) + frame_offset;
    if (f < 0 || f >= kMaxMotFrame) continue;
    for (const auto& event : results.vision_results(k).vision_event()) {
      if (event.tag() != v1::ZONE_EXIT || IsRoiExit(event)) continue;
      if (event.zone_id() >= counts_.size()) {
        Warn("the run has ZONE_EXIT events of zone " +
             std::to_string(event.zone_id()) + " (\"" + event.zone_name() +
             "\"), which the zones given do not define");
        continue;
      }
      kestu::tools::ZonePassReport& count = counts_[event.zone_id()];
      if (event.zone_name() != count.zone_name()) {
        Warn("the run's zone " + std::to_string(event.zone_id()) +
             " is named \"" + event.zone_name() +
             "\", the zones given name it \"" + count.zone_name() +
             "\": was the run configured with these zones?");
      }
      const bool backward = event.zone_direction() == v1::BACKWARD;
      if (backward) {
        count.set_run_backward(count.run_backward() + 1);
      } else {
        count.set_run_forward(count.run_forward() + 1);
      }
      frames_[event.zone_id()].run[backward ? 1 : 0].push_back(f + 1);
    }
  }
}

std::vector<kestu::tools::ZonePassReport> ZonePasses::Report() const {
  std::vector<kestu::tools::ZonePassReport> report = counts_;
  for (kestu::tools::ZonePassReport& count : report) {
    count.set_forward_difference(count.run_forward() - count.truth_forward());
    count.set_backward_difference(count.run_backward() -
                                  count.truth_backward());
  }
  return report;
}

void ZonePasses::Warn(const std::string& text) {
  if (std::find(warnings_.begin(), warnings_.end(), text) == warnings_.end()) {
    warnings_.push_back(text);
  }
}

}  // namespace kestu_tools
