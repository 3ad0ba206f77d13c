#include "vision/detectors/class_vote.h"

namespace talvenrook_vision {
namespace {

constexpr int32_t kVoteClasses = 20;
constexpr int32_t kVoteRecent = 5;

}  // namespace

ClassVote::ClassVote() : mode_(kVoteClasses, kVoteRecent) {}

void ClassVote::Configure(const Entity& config) {
  mode_.Configure(config);
  enabled_ = true;
}

TrackerMode* ClassVote::EnableVoting() {
  enabled_ = true;
  return &mode_;
}

void ClassVote::Record(int32_t track_id, const ClassScore& result) {
  latest_[track_id] = result;
  if (enabled_) mode_.Vote(track_id, result.first, result.second);
}

void ClassVote::Forget(int32_t track_id) {
  mode_.Erase(track_id);
  latest_.erase(track_id);
}

bool ClassVote::HasVote(int32_t track_id) const {
  return mode_.History(track_id) != nullptr;
}

int32_t ClassVote::ClassOf(int32_t track_id, bool recent) const {
  if (enabled_ && HasVote(track_id))
    return recent ? mode_.RecentMode(track_id) : mode_.Mode(track_id);
  const ClassScore* latest = Latest(track_id);
  return latest == nullptr ? -1 : latest->first;
}

const ClassScore* ClassVote::Latest(int32_t track_id) const {
  auto it = latest_.find(track_id);
  return it == latest_.end() ? nullptr : &it->second;
}

float ClassVote::Score(int32_t track_id) const {
  if (Latest(track_id) == nullptr) return 0.0f;
  return mode_.ModeScore(track_id);
}

float ClassVote::Uncertainty(int32_t track_id) const {
  return mode_.RecentUncertainty(track_id);
}

}  // namespace talvenrook_vision
