// Recounting of zone exits and area events from a detections file.
//
// A detections file written in record mode holds every processed frame's
// result, with the tracked boxes of the frame. The Recounter replays them,
// in frame order, through the same zone and area code that the pipelines
// run live: each tracked detection's box centre is checked against every
// zone and area. A track that has not appeared for more than
// `forget_after` frames is forgotten, as the tracker drops a track missed
// for more than its frames to discard. So a recording recounted with the
// zones it was recorded with gives the counts that were published live,
// and a moved line gives its new counts without running any network.
//
// Example zones fragment (protobuf text format, the pipeline's keys):
//   properties { key: "zones" value { array_value { values { entity_value {
//     properties { key: "A" value { entity_value { ...x, y... } } }
//     properties { key: "B" value { entity_value { ...x, y... } } }
//     properties { key: "height" value { integer_value: 30 } } } } } } }
#ifndef TOOLS_RECOUNT_RECOUNTER_H_
#define TOOLS_RECOUNT_RECOUNTER_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "kestu_tools.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/tracking_clock.h"
#include "vision/tracking/zone_events.h"

namespace kestu_tools {

using VisionResultList = ::talvenrook::vision::v1::VisionResultList;
using Entity = ::talvenrook::common::Entity;

class Recounter {
 public:
  explicit Recounter(int forget_after);

  // Reads "zones" and "areas" with the pipelines' readers (their messages
  // go to standard error). False when a zone definition is incomplete or
  // neither key is present.
  bool Configure(const Entity& config);

  // One frame of the recording.
  void AddFrame(const talvenrook::vision::v1::VisionResult& frame);

  const kestu::tools::RecountReport& report() const { return report_; }

 private:
  void ForgetGoneTracks();

  const int forget_after_;
  talvenrook_vision::ManualTrackingClock clock_;
  talvenrook_vision::ZoneEvents events_{&clock_};
  int64_t frame_ = 0;
  std::unordered_map<int32_t, int64_t> last_seen_;  // track id -> frame
  kestu::tools::RecountReport report_;
};

// Reads a detections file; false with a message when it cannot be opened,
// does not parse or holds no frame. A file that ends in a torn record (its
// run was killed) gives its whole records, and *warning (when given) says
// "<path>: ignored a torn last record of N bytes"; otherwise *warning is
// left empty.
bool LoadDetections(const std::string& path, VisionResultList* results,
                    std::string* error, std::string* warning = nullptr);

// Reads a zones fragment in protobuf text format: a property map holding
// "zones" and/or "areas", or a whole DriverConfig whose configuration map
// holds them. False with a message when it cannot be read or parsed.
bool LoadZonesFragment(const std::string& path, Entity* config,
                       std::string* error);

// The report as a table: one line per zone and direction, one per area.
std::string FormatTable(const kestu::tools::RecountReport& report);

}  // namespace kestu_tools

#endif  // TOOLS_RECOUNT_RECOUNTER_H_
