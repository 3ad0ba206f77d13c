#include "tools/mqtt/outbound_queue.h"

#include <algorithm>
#include <utility>

namespace kestu_tools {

std::optional<OutboundMessage> OutboundQueue::Push(std::string topic,
                                                   std::string payload,
                                                   uint64_t tag) {
  queued_.push_back({std::move(topic), std::move(payload), false, tag});
  if (tag == 0) ++untagged_;
  if (queued_.size() <= max_queued_) return std::nullopt;
  return DropOne();
}

OutboundMessage OutboundQueue::DropOne() {
  auto victim = queued_.begin();
  if (untagged_ > 0) {
    victim = std::find_if(queued_.begin(), queued_.end(),
                          [](const OutboundMessage& m) { return m.tag == 0; });
  }
  OutboundMessage dropped = std::move(*victim);
  queued_.erase(victim);
  if (dropped.tag == 0) --untagged_;
  ++dropped_;
  return dropped;
}

std::optional<OutboundMessage> OutboundQueue::Return(OutboundMessage message) {
  if (message.retained) {
    // A newer value set meanwhile wins.
    retained_.emplace(message.topic, std::move(message.payload));
    pending_retained_.insert(message.topic);
    return std::nullopt;
  }
  std::optional<OutboundMessage> dropped;
  if (queued_.size() >= max_queued_) {
    // It is the oldest of them all: it goes unless an untagged one can.
    if (message.tag == 0 || untagged_ == 0) {
      ++dropped_;
      return message;
    }
    dropped = DropOne();
  }
  if (message.tag == 0) ++untagged_;
  queued_.push_front(std::move(message));
  return dropped;
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
    return OutboundMessage{topic, retained_[topic], true, 0};
  }
  if (queued_.empty()) return std::nullopt;
  OutboundMessage message = std::move(queued_.front());
  queued_.pop_front();
  if (message.tag == 0) --untagged_;
  return message;
}

}  // namespace kestu_tools
