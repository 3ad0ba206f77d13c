#include "vision/face/attention/attention_timer.h"

namespace talvenrook_vision {

void AttentionTimer::Update(int32_t id, bool decision) {
  const double now =
      static_cast<double>(clock_->Ticks()) / clock_->TickFrequency();
  Entry& entry = entries_[id];
  if (entry.updated) {
    const double elapsed = now - entry.last_update;
    if (entry.decision && decision) {
      entry.seconds += elapsed;
    } else if (entry.decision != decision) {
      entry.seconds += elapsed / 2.0;
    }
  }
  entry.updated = true;
  entry.decision = decision;
  entry.last_update = now;
}

bool AttentionTimer::Decision(int32_t id) const {
  auto it = entries_.find(id);
  return it != entries_.end() && it->second.decision;
}

double AttentionTimer::Seconds(int32_t id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? 0.0 : it->second.seconds;
}

}  // namespace talvenrook_vision
