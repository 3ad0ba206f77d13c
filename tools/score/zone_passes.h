// Passes through counting zones: how often the ground truth crossed each
// zone, beside the crossings a run published.
//
// The zones come from the pipelines' own reader (ZoneEvents::Configure), so
// the property map or DriverConfig that a run was configured with (or that
// kestu-recount reads) gives the same geometry here. Each zone is rebuilt
// with repeat on for the truth: every truth identity's box centres, in
// frame order, go through it, and each time a centre crosses the whole band
// within the segment's span counts one pass in its direction; a centre that
// dithers inside the band counts nothing until it leaves across the other
// side. The run's side is its ZONE_EXIT events, by zone id and direction,
// from the results that are scored (result k is frame k + 1 + frame_offset,
// from 1 to kMaxMotFrame).
//
// Contract: Configure first; CountTruth and CountRun add to the counts.
// Not thread-safe.
//
// Example zones (protobuf text format, the pipeline's keys):
//   properties { key: "zones" value { array_value { values { entity_value {
//     properties { key: "name" value { string_value: "Walkway" } }
//     properties { key: "A" value { entity_value {
//       properties { key: "x" value { integer_value: 320 } }
//       properties { key: "y" value { integer_value: 130 } } } } }
//     properties { key: "B" value { entity_value {
//       properties { key: "x" value { integer_value: 320 } }
//       properties { key: "y" value { integer_value: 330 } } } } }
//     properties { key: "height" value { integer_value: 40 } } } } } } }
#ifndef TOOLS_SCORE_ZONE_PASSES_H_
#define TOOLS_SCORE_ZONE_PASSES_H_

#include <string>
#include <vector>

#include "kestu_tools.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "tools/score/mot_metrics.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/zone.h"

namespace kestu_tools {

class ZonePasses {
 public:
  using Entity = ::talvenrook::common::Entity;

  // Reads "zones" (or "rois" with their zones) with the pipelines' reader,
  // whose messages go to standard error. False with a message when a zone
  // definition is incomplete or there is no zone.
  bool Configure(const Entity& config, std::string* error);

  // Passes of every truth identity; boxes set aside by the scoring
  // (zero confidence, when ignored) are left out here too.
  void CountTruth(const MotFrames& truth, bool ignore_zero_confidence);

  // The run's ZONE_EXIT events. Events of a zone id that the zones do not
  // define, or whose zone name differs from the zone's, add a warning.
  void CountRun(const ::talvenrook::vision::v1::VisionResultList& results,
                int frame_offset);

  // One entry per zone, in configuration order, differences filled in.
  std::vector<kestu::tools::ZonePassReport> Report() const;
  const std::vector<std::string>& warnings() const { return warnings_; }

  // The frame (truth numbering, from 1) of every pass counted, in frame
  // order: a truth pass at the frame whose centre completed it, a run pass
  // at the frame of the result that published it. Index [0] forward, [1]
  // backward.
  struct PassFrames {
    std::vector<int64_t> truth[2];
    std::vector<int64_t> run[2];
  };
  // One entry per zone, in configuration order.
  const std::vector<PassFrames>& frames() const { return frames_; }

 private:
  void Warn(const std::string& text);

  std::vector<talvenrook_vision::Zone> zones_;  // repeat on
  std::vector<kestu::tools::ZonePassReport> counts_;
  std::vector<PassFrames> frames_;
  std::vector<std::string> warnings_;
};

}  // namespace kestu_tools

#endif  // TOOLS_SCORE_ZONE_PASSES_H_
