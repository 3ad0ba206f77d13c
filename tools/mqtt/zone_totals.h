// ZoneTotals: what kestu-mqtt knows of one process's counting lines, and
// the retained messages that publish it (topics: MqttTopics, discovery:
// MqttDiscovery):
//  - per driver, zone and direction, the count since the line was created
//    (see MqttTopics) with when that count began, and today's count
//    (DailyTotals);
//  - the lines its drivers' configurations name, with their direction
//    names ("in", "out"): each configured line gets, in both directions,
//    its today and totals topics (0 before its first exit) and a discovery
//    configuration; a line that a configured driver no longer names has
//    them cleared (empty retained payloads), its count topic too. A driver
//    that does not answer, or holds no configuration, changes nothing.
//
// Each call returns the retained messages to set, in order; the caller
// sends them under the lock that guards this, so that a count never
// overtakes a later one.
//
// Example:
//   ZoneTotals zones("gate", &topics, &discovery, &zone, clock, start);
//   Send(zones.OnZones("crowd", info));  // configs, "0"s
//   Send(zones.OnExit({"crowd", "Walkway", "FORWARD"}, when));
//   ... at local midnight:
//   Send(zones.RollOver());               // today "0" again
//
// Not thread-safe: the bridge guards it.
#ifndef TOOLS_MQTT_ZONE_TOTALS_H_
#define TOOLS_MQTT_ZONE_TOTALS_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "absl/time/time.h"
#include "talvenrook/kestu/v1/driver.pb.h"
#include "tools/mqtt/daily_totals.h"
#include "tools/mqtt/local_time.h"
#include "tools/mqtt/mqtt_discovery.h"
#include "tools/mqtt/mqtt_topics.h"

namespace kestu_tools {

class ZoneTotals {
 public:
  using Key = DailyTotals::Key;  // (driver, zone, direction)
  using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;
  // A retained value; an empty payload clears the topic.
  struct Retained {
    std::string topic;
    std::string payload;
  };
  using Out = std::vector<Retained>;
  // A line's count since it was created: since_ms 0 when unknown (taken
  // over from a journal's totals).
  struct Count {
    int64_t count = 0;
    int64_t since_ms = 0;
  };

  // `discovery` may be null (discovery off). Requires: the pointers outlive
  // this. `started`: when the counts of drivers without a journal began.
  ZoneTotals(std::string process, const MqttTopics* topics,
             const MqttDiscovery* discovery, const LocalZone* zone,
             DailyTotals::Clock clock, absl::Time started);

  // A zone exit at `when` (the event's time); `direction_name` as the
  // event names it (may be empty). Sets *count to the count after it.
  Out OnExit(const Key& key, absl::Time when, const std::string& direction_name,
             int64_t* count = nullptr);
  // The driver's counts follow its event journal from now on: they become
  // `counts` ((zone, direction) -> count, since when, 0: not known), every
  // other line of the driver 0; their count topics are set.
  Out FollowJournal(
      const std::string& driver,
      const std::map<std::pair<std::string, std::string>, Count>& counts);
  // Today's total kept for `day`, from the state file.
  void RestoreToday(const Key& key, const std::string& day, int64_t count);
  // Lines announced by an earlier run, from the state file: cleared at the
  // driver's first configured answer unless it still names them.
  void RestoreAnnounced(const std::string& driver,
                        const std::vector<std::string>& zones);

  // The driver's answer to a driver-information query.
  Out OnDriverInfo(const std::string& driver, const DriverInfo& info);
  // The camera of the driver has a source: its discovery configuration,
  // once.
  Out OnCamera(const std::string& driver);
  // The today and totals values of a line in one direction.
  Out Totals(const Key& key) const {
    Out out;
    AddTotals(key, &out);
    return out;
  }
  // At and after local midnight: today "0" again.
  Out RollOver();
  absl::Time NextMidnight() const { return today_.NextMidnight(); }

  const std::map<Key, Count>& counts() const { return counts_; }
  const DailyTotals& today() const { return today_; }
  bool Journaled(const std::string& driver) const {
    return journaled_.count(driver) > 0;
  }
  // The lines announced per driver (for the state file).
  std::map<std::string, std::vector<std::string>> Announced() const;

 private:
  // (forward name, backward name) of a line.
  using Names = std::pair<std::string, std::string>;

  std::string DirectionName(const Key& key) const;
  // The today and totals topics of a line in one direction.
  void AddTotals(const Key& key, Out* out) const;
  void AddLine(const std::string& driver, const std::string& zone, Out* out);
  void ClearLine(const std::string& driver, const std::string& zone, Out* out);

  const std::string process_;
  const MqttTopics* const topics_;
  const MqttDiscovery* const discovery_;
  const LocalZone* const zone_;
  const absl::Time started_;
  std::map<Key, Count> counts_;
  DailyTotals today_;
  std::set<std::string> journaled_;  // drivers whose journal is followed
  // Direction names of lines, as configurations or events gave them.
  std::map<std::pair<std::string, std::string>, Names> names_;
  // By driver: the lines announced, with their names as announced.
  std::map<std::string, std::map<std::string, Names>> announced_;
  // Drivers that gave a configured answer in this run.
  std::set<std::string> answered_;
  std::set<std::string> cameras_;  // drivers whose camera is announced
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_ZONE_TOTALS_H_
