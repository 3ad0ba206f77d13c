// OutboundQueue: what one broker connection has still to send.
//
// Two kinds of message:
//  - queued messages (events and statuses), sent in order; at most
//    `max_queued` wait, and a new one beyond that pushes out the oldest,
//    which is counted as dropped. Messages with a tag (events of journalled
//    results, whose acknowledgement moves kestu-mqtt's kept position) go
//    last: the oldest untagged message is pushed out first while there is
//    one;
//  - retained values (counts, availability), one per topic: only the latest
//    value of a topic is sent, and every value is sent again after a
//    (re)connection, so that a broker that lost its retained messages gets
//    them back. They go before the queued messages.
//
// Not thread-safe: its MqttConnection guards it.
#ifndef TOOLS_MQTT_OUTBOUND_QUEUE_H_
#define TOOLS_MQTT_OUTBOUND_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace kestu_tools {

struct OutboundMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
  uint64_t tag = 0;  // the publisher's; 0: none
};

class OutboundQueue {
 public:
  // Requires: max_queued >= 1.
  explicit OutboundQueue(size_t max_queued) : max_queued_(max_queued) {}

  // Queues a message; returns the one dropped for it, if any.
  std::optional<OutboundMessage> Push(std::string topic, std::string payload,
                                      uint64_t tag = 0);
  // Puts back a message that could not be handed over, to go first; returns
  // it when there is no room for it (it is the oldest of them all).
  std::optional<OutboundMessage> Return(OutboundMessage message);
  void SetRetained(const std::string& topic, std::string payload);
  // Every retained value is to be sent again.
  void ResendRetained();

  bool Empty() const { return pending_retained_.empty() && queued_.empty(); }
  // The next message to send: a pending retained value, else the oldest
  // queued message.
  std::optional<OutboundMessage> Next();

  size_t queued() const { return queued_.size(); }
  int64_t dropped() const { return dropped_; }

 private:
  // Drops the oldest untagged message, else the oldest. Requires: a queued
  // message.
  OutboundMessage DropOne();

  const size_t max_queued_;
  std::deque<OutboundMessage> queued_;
  size_t untagged_ = 0;                          // of queued_
  std::map<std::string, std::string> retained_;  // topic -> latest payload
  std::set<std::string> pending_retained_;       // topics to send
  int64_t dropped_ = 0;
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_OUTBOUND_QUEUE_H_
