// SnapshotRing: the last few seconds of a process's streamed frames, and
// the crossing a zone exit was counted on among them.
//
// The streaming channel is shared by a process's drivers and its frames do
// not name one; track ids are the process's own (one counter for all its
// drivers), so a crossing is looked for among all the process's frames by
// its track. The frame of a crossing is the one whose result holds the
// same zone exit (a streamed result carries every event of its frame).
// When that frame did not come (a slow reader loses streamed frames), the
// nearest frame holding the track's box, received within kNearby of the
// event, stands in for it; no frame farther off ever does.
//
// Not thread-safe: its owner locks.
#ifndef TOOLS_WEB_SNAPSHOT_RING_H_
#define TOOLS_WEB_SNAPSHOT_RING_H_

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "talvenrook/vision/v1/vision_service.pb.h"

namespace kestu_tools {

class SnapshotRing {
 public:
  using Clock = std::chrono::steady_clock;
  using VisionEvent = ::talvenrook::vision::v1::VisionEvent;
  using VisionResult = ::talvenrook::vision::v1::VisionResult;
  using Rectangle = ::talvenrook::vision::v1::Rectangle;

  static constexpr auto kKeep = std::chrono::seconds(4);
  static constexpr size_t kMaxFrames = 120;
  static constexpr auto kNearby = std::chrono::milliseconds(500);

  struct Frame {
    Clock::time_point received;
    VisionResult result;  // detections and events, without the image
    std::shared_ptr<const std::string> jpeg;
  };
  // The picture of a crossing and the person's box in frame pixels.
  struct Crossing {
    std::shared_ptr<const std::string> jpeg;
    Rectangle box;
    bool exact = false;  // the frame of the exit itself
  };

  // Keeps a streamed frame (its image shared, not copied).
  void Add(const std::string& process, const VisionResult& result,
           std::shared_ptr<const std::string> jpeg, Clock::time_point received);
  // The frame that holds this very exit, with its track's box.
  std::optional<Crossing> FindExact(const std::string& process,
                                    const VisionEvent& exit) const;
  // The exact frame, else the nearest one with the track's box received
  // within kNearby of `received`.
  std::optional<Crossing> FindNearest(const std::string& process,
                                      const VisionEvent& exit,
                                      Clock::time_point received) const;
  // Whether any frame of the process came since `since`.
  bool FramesSince(const std::string& process, Clock::time_point since) const;

  static bool SameExit(const VisionEvent& a, const VisionEvent& b);

 private:
  std::map<std::string, std::deque<Frame>> frames_;  // by process, oldest first
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_RING_H_
