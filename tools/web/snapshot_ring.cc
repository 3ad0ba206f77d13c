#include "tools/web/snapshot_ring.h"

#include <utility>

#include <google/protobuf/util/message_differencer.h>

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

// The box of the track in the frame's result, if it has one.
const v1::RectangularDetection* TrackBox(const v1::VisionResult& result,
                                         uint64_t tracking_id) {
  for (const auto& detection : result.rect_detection()) {
    if (detection.tracking_id() == tracking_id && detection.has_location()) {
      return &detection;
    }
  }
  return nullptr;
}

}  // namespace

bool SnapshotRing::SameExit(const VisionEvent& a, const VisionEvent& b) {
  return a.tag() == b.tag() && a.tracking_id() == b.tracking_id() &&
         a.zone_id() == b.zone_id() && a.zone_name() == b.zone_name() &&
         a.zone_direction() == b.zone_direction() &&
         google::protobuf::util::MessageDifferencer::Equals(a.timestamp(),
                                                            b.timestamp());
}

void SnapshotRing::Add(const std::string& process, const VisionResult& result,
                       std::shared_ptr<const std::string> jpeg,
                       Clock::time_point received) {
  if (jpeg == nullptr || jpeg->empty()) return;
  Frame frame;
  frame.received = received;
  *frame.result.mutable_rect_detection() = result.rect_detection();
  *frame.result.mutable_vision_event() = result.vision_event();
  frame.jpeg = std::move(jpeg);
  auto& frames = frames_[process];
  frames.push_back(std::move(frame));
  while (!frames.empty() && (frames.size() > kMaxFrames ||
                             received - frames.front().received > kKeep)) {
    frames.pop_front();
  }
}

std::optional<SnapshotRing::Crossing> SnapshotRing::FindExact(
    const std::string& process, const VisionEvent& exit) const {
  const auto it = frames_.find(process);
  if (it == frames_.end()) return std::nullopt;
  for (auto frame = it->second.rbegin(); frame != it->second.rend(); ++frame) {
    for (const auto& event : frame->result.vision_event()) {
      if (!SameExit(event, exit)) continue;
      const auto* detection = TrackBox(frame->result, exit.tracking_id());
      if (detection == nullptr) return std::nullopt;
      return Crossing{frame->jpeg, detection->location(), true};
    }
  }
  return std::nullopt;
}

std::optional<SnapshotRing::Crossing> SnapshotRing::FindNearest(
    const std::string& process, const VisionEvent& exit,
    Clock::time_point received) const {
  if (auto exact = FindExact(process, exit)) return exact;
  const auto it = frames_.find(process);
  if (it == frames_.end()) return std::nullopt;
  std::optional<Crossing> nearest;
  Clock::duration best = kNearby;
  for (const Frame& frame : it->second) {
    const auto distance = frame.received > received ? frame.received - received
                                                    : received - frame.received;
    if (distance > best) continue;
    const auto* detection = TrackBox(frame.result, exit.tracking_id());
    if (detection == nullptr) continue;
    best = distance;
    nearest = Crossing{frame.jpeg, detection->location(), false};
  }
  return nearest;
}

bool SnapshotRing::FramesSince(const std::string& process,
                               Clock::time_point since) const {
  const auto it = frames_.find(process);
  return it != frames_.end() && !it->second.empty() &&
         it->second.back().received >= since;
}

}  // namespace kestu_tools
