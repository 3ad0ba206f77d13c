// WhatIf: what counting lines and areas that were never configured would
// have counted, over a driver's track history or an uploaded detections
// file, through kestu-recount's Recounter (the pipelines' own zone code).
//
// Uploaded recordings are kept as frames of tracked boxes (the form of the
// track history), at most kMaxRecordings of them, the oldest dropped
// first; each may hold up to the history's box limit.
//
//   WhatIf what_if(&history, TrackHistory::kDefaultMaxBoxes);
//   auto frames = what_if.Frames("127.0.0.1:60000", "crowd", "live", &error);
//   RecountReport report = WhatIf::Recount(*frames, zones, 15);
//
// Thread-safe.
#ifndef TOOLS_WEB_WHAT_IF_H_
#define TOOLS_WEB_WHAT_IF_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "kestu_tools.pb.h"
#include "talvenrook/common/entity.pb.h"
#include "tools/web/track_history.h"

namespace kestu_tools {

class WhatIf {
 public:
  static constexpr size_t kMaxRecordings = 4;
  static constexpr int kMaxPathPoints = 4000;

  // Requires: history outlives this object.
  WhatIf(const TrackHistory* history, size_t max_boxes);

  // Parses and keeps a detections file (a binary VisionResultList); false
  // with the reason in answer->error.
  bool AddRecording(const std::string& name, const std::string& bytes,
                    kestu::tools::RecordingAnswer* answer);

  // The frames of "live" (the driver's history) or of a recording's id;
  // null with the reason for an unknown id.
  std::shared_ptr<const TrackFrames> Frames(const std::string& process,
                                            const std::string& driver,
                                            const std::string& source,
                                            std::string* error) const;

  // Replays the frames through a Recounter with the "zones"/"areas" of
  // `zones`; a map with neither counts nothing.
  static kestu::tools::RecountReport Recount(
      const TrackFrames& frames, const ::talvenrook::common::Entity& zones,
      int forget_after);

  // Box centres, evenly sampled (at most kMaxPathPoints).
  static kestu::tools::PathsAnswer Paths(const TrackFrames& frames);

 private:
  struct Recording {
    std::string id;
    std::shared_ptr<const TrackFrames> frames;
  };

  const TrackHistory* history_;
  const size_t max_boxes_;
  mutable std::mutex mutex_;  // guards recordings_
  std::deque<Recording> recordings_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WHAT_IF_H_
