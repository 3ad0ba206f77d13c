// AckFrontier: how far into one driver's event journal the broker has
// acknowledged everything kestu-mqtt published, and the driver's zone
// counts as of there: what --state_file keeps.
//
// The bridge adds each journalled result as it publishes it, in journal
// order, with a tag that the result's event messages carry and the zone
// exits it counts; the connection settles each message (acknowledged or
// dropped). The position is the number of the last result whose messages,
// and those of every result before it, are acknowledged (a result without
// events passes once those before it do); its counts add the exits of the
// results up to it. A dropped message holds the position before its result
// until the next Start: a restart publishes that result again, and the
// ones after it.
//
// Each exit may carry its local day ("2027-03-28"): the frontier then also
// keeps, per zone and direction, the exits of the latest day among those up
// to the position (today's totals as of there, which --state_file keeps
// beside the counts).
//
// Example:
//   AckFrontier frontier;
//   frontier.Start("j1", 10, {});
//   frontier.Add(11, /*tag=*/4, /*messages=*/2, {{"Walkway", "FORWARD"}});
//   frontier.Settle(4, true);   // kPending: one message to go
//   frontier.Settle(4, true);   // kMoved: sequence() 11, one exit counted
//
// Not thread-safe: the bridge guards it.
#ifndef TOOLS_MQTT_ACK_FRONTIER_H_
#define TOOLS_MQTT_ACK_FRONTIER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestu_tools {

class AckFrontier {
 public:
  // (zone, direction name) of a zone exit.
  using ZoneKey = std::pair<std::string, std::string>;
  using Counts = std::map<ZoneKey, int64_t>;
  // (local day, exits counted on it) of a zone key.
  using DayCounts = std::map<ZoneKey, std::pair<std::string, int64_t>>;

  enum class Outcome {
    kIgnored,  // not a tag, or a result, of this journal's pending ones
    kPending,  // the position stays where it is
    kMoved,    // the position moved
    kHeld,     // a message was dropped: the position stays before it
  };

  // From `sequence` of the journal on, with the counts as of there; what
  // was pending is forgotten (its settlements are ignored).
  void Start(std::string journal_id, uint64_t sequence, Counts counts,
             DayCounts days = {});
  bool started() const { return !journal_id_.empty(); }

  // A result published as `messages` messages with `tag`, which rises from
  // one Add to the next. kIgnored (publish it untagged) before Start, while
  // held, or for a result not after the last one added. `days`, when given,
  // holds the local day of each of `exits`.
  Outcome Add(uint64_t sequence, uint64_t tag, int messages,
              std::vector<ZoneKey> exits, std::vector<std::string> days = {});
  // One message with `tag` acknowledged, or dropped.
  Outcome Settle(uint64_t tag, bool acknowledged);

  const std::string& journal_id() const { return journal_id_; }
  uint64_t sequence() const { return sequence_; }
  const Counts& counts() const { return counts_; }
  const DayCounts& days() const { return days_; }
  // The result whose dropped message holds the position; 0: none.
  uint64_t held_at() const { return held_at_; }
  size_t pending() const { return pending_.size(); }

 private:
  struct Entry {
    uint64_t tag;
    uint64_t sequence;
    int outstanding;  // messages not yet acknowledged
    std::vector<ZoneKey> exits;
    std::vector<std::string> days;  // empty, or one per exit
  };
  // Passes the settled results at the front; true when it moved.
  bool Advance();

  std::string journal_id_;
  uint64_t sequence_ = 0;
  uint64_t last_added_ = 0;
  uint64_t held_at_ = 0;
  Counts counts_;
  DayCounts days_;
  std::deque<Entry> pending_;  // by rising tag and sequence
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_ACK_FRONTIER_H_
