// SentReceipts: the time kestu-mqtt received each result of one process
// whose events went to the broker and are not yet behind the kept position
// of the result's driver.
//
// An event's message carries that time ("received"). A kestu-mqtt killed
// between handing a message to the broker and keeping the broker's
// acknowledgement sends the result again after its restart; with the
// receipt kept in --state_file beforehand, it sends the very same bytes,
// which a subscriber already takes as one message (the broker re-delivers
// the same way).
//
// Example:
//   SentReceipts receipts;
//   const double received = receipts.Take("crowd", 12, tag, Now());
//   ... publish the events with `received`, tagged `tag` ...
//   if (receipts.Sending(tag)) state_file.WriteNow();  // before the send
//   receipts.Passed("crowd", 12);                      // the position moved
//
// Not thread-safe: the bridge guards it.
#ifndef TOOLS_MQTT_SENT_RECEIPTS_H_
#define TOOLS_MQTT_SENT_RECEIPTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestu_tools {

class SentReceipts {
 public:
  // A receipt kept in the state file: taken by the result's next Take.
  void Restore(const std::string& driver, uint64_t sequence, double received);
  // The received time of result `sequence` of `driver`, whose messages are
  // tagged `tag`: the kept one, or `now`.
  double Take(const std::string& driver, uint64_t sequence, uint64_t tag,
              double now);
  // A message tagged `tag` goes to the broker: true when its receipt is not
  // kept yet. Every receipt taken so far is then counted as kept, and must
  // be written (with Sent) before the message goes: one write covers a
  // whole queue sent after the broker came back.
  bool Sending(uint64_t tag);
  // The driver's position is at `sequence`: the receipts up to it go.
  void Passed(const std::string& driver, uint64_t sequence);
  // The driver follows another journal: its receipts go.
  void Forget(const std::string& driver);
  // (sequence, received) of the driver's receipts counted as kept.
  std::vector<std::pair<uint64_t, double>> Sent(
      const std::string& driver) const;

 private:
  struct Receipt {
    double received = 0;
    uint64_t tag = 0;   // 0: restored, not sent again yet
    bool kept = false;  // in the state file, or about to be written
  };
  // By driver, then sequence.
  std::map<std::string, std::map<uint64_t, Receipt>> receipts_;
  std::map<uint64_t, std::pair<std::string, uint64_t>> tags_;  // of Take
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_SENT_RECEIPTS_H_
