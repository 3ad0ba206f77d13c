#include "tools/mqtt/outbound_queue.h"

#include <utility>

namespace kestu_tools {

bool OutboundQueue::Push(std::string topic, std::string payload) {
  queued_.push_back({std::move(topic), std::move(payload), false});
  if (queued_.size() <= max_queued_) return false;
  queued_.pop_front();
  ++dropped_;
  return true;
}

void OutboundQueue::Return(OutboundMessage message) {
  if (message.retained) {
    // A newer value set meanwhile wins.
    retained_.emplace(message.topic, std::move(message.payload));
    pending_retained_.insert(message.topic);
    return;
  }
  if (queued_.size() >= max_queued_) {
    ++dropped_;  // it is the oldest of them all
    return;
  }
  queued_.push_front(std::move(message));
}

void OutboundQueue::SetRetained(const std::string& topic, std::string payload) {
  retained_[topic] = std::move(payload);
  pending_retained_.insert(topic);
}

void OutboundQueue::ResendRetained() {
  for (const auto& entry : retained_) pending_retained_.insert(entry.first);
}

std::optional<OutboundMessage> OutboundQueue::Next() {
  if (!pending_retained_.empty()) {
    const std::string topic = *pending_retained_.begin();
    pending_retained_.erase(pending_retained_.begin());
    return OutboundMessage{topic, retained_[topic], true};
  }
  if (queued_.empty()) return std::nullopt;
  OutboundMessage message = std::move(queued_.front());
  queued_.pop_front();
  return message;
}

}  // namespace kestu_tools
