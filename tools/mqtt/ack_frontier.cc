#include "tools/mqtt/ack_frontier.h"

#include <algorithm>

namespace kestu_tools {

void AckFrontier::Start(std::string journal_id, uint64_t sequence,
                        Counts counts, DayCounts days) {
  journal_id_ = std::move(journal_id);
  sequence_ = sequence;
  last_added_ = sequence;
  held_at_ = 0;
  counts_ = std::move(counts);
  days_ = std::move(days);
  pending_.clear();
}

AckFrontier::Outcome AckFrontier::Add(uint64_t sequence, uint64_t tag,
                                      int messages, std::vector<ZoneKey> exits,
                                      std::vector<std::string> days) {
  if (!started() || held_at_ != 0 || sequence <= last_added_ ||
      (!pending_.empty() && tag <= pending_.back().tag)) {
    return Outcome::kIgnored;
  }
  last_added_ = sequence;
  if (messages <= 0 && exits.empty() && !pending_.empty() &&
      pending_.back().outstanding == 0) {
    // Passes with the one before: one entry for both, so that a long
    // outage keeps one per result with events, not one per result.
    pending_.back().sequence = sequence;
    return Outcome::kPending;
  }
  if (days.size() != exits.size()) days.clear();
  pending_.push_back({tag, sequence, std::max(messages, 0), std::move(exits),
                      std::move(days)});
  return Advance() ? Outcome::kMoved : Outcome::kPending;
}

AckFrontier::Outcome AckFrontier::Settle(uint64_t tag, bool acknowledged) {
  auto it = std::lower_bound(
      pending_.begin(), pending_.end(), tag,
      [](const Entry& entry, uint64_t t) { return entry.tag < t; });
  if (it == pending_.end() || it->tag != tag || it->outstanding <= 0) {
    return Outcome::kIgnored;
  }
  if (!acknowledged) {
    // Nothing after it counts any more: the position stops before it.
    held_at_ = it->sequence;
    it->outstanding = -1;
    pending_.erase(it + 1, pending_.end());
    Advance();
    return Outcome::kHeld;
  }
  --it->outstanding;
  return Advance() ? Outcome::kMoved : Outcome::kPending;
}

bool AckFrontier::Advance() {
  bool moved = false;
  while (!pending_.empty() && pending_.front().outstanding == 0) {
    Entry& entry = pending_.front();
    sequence_ = entry.sequence;
    for (size_t i = 0; i < entry.exits.size(); ++i) {
      ++counts_[entry.exits[i]];
      if (entry.days.empty()) continue;
      auto& [day, count] = days_[entry.exits[i]];
      if (entry.days[i] > day) {
        day = entry.days[i];
        count = 0;
      }
      if (entry.days[i] == day) ++count;
    }
    pending_.pop_front();
    moved = true;
  }
  return moved;
}

}  // namespace kestu_tools
