#include "tools/mqtt/zone_totals.h"

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

namespace kestu_tools {
namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

constexpr const char* kDirections[] = {"FORWARD", "BACKWARD"};

Value Text(const std::string& text) {
  Value value;
  value.set_string_value(text);
  return value;
}

Value Number(int64_t number) {
  Value value;
  value.set_number_value(static_cast<double>(number));
  return value;
}

}  // namespace

ZoneTotals::ZoneTotals(std::string process, const MqttTopics* topics,
                       const MqttDiscovery* discovery, const LocalZone* zone,
                       DailyTotals::Clock clock, absl::Time started)
    : process_(std::move(process)),
      topics_(topics),
      discovery_(discovery),
      zone_(zone),
      started_(started),
      today_(zone, std::move(clock)) {}

std::string ZoneTotals::DirectionName(const Key& key) const {
  auto it = names_.find({std::get<0>(key), std::get<1>(key)});
  if (it == names_.end()) return "";
  return std::get<2>(key) == "FORWARD" ? it->second.first : it->second.second;
}

void ZoneTotals::AddTotals(const Key& key, Out* out) const {
  const auto& [driver, zone, direction] = key;
  const int64_t today = today_.Get(key);
  out->push_back({topics_->Today(process_, driver, zone, direction),
                  std::to_string(today)});
  Count count;
  if (auto it = counts_.find(key); it != counts_.end()) count = it->second;
  Struct totals;
  auto& fields = *totals.mutable_fields();
  fields["count"] = Number(count.count);
  if (!Journaled(driver)) {
    fields["count_since"] = Text(zone_->Format(started_));
  } else if (count.since_ms > 0) {
    fields["count_since"] =
        Text(zone_->Format(absl::FromUnixMillis(count.since_ms)));
  } else {
    fields["count_since"].set_null_value(google::protobuf::NULL_VALUE);
  }
  fields["today"] = Number(today);
  fields["today_since"] = Text(zone_->Format(today_.DayStart()));
  fields["time_zone"] = Text(zone_->name());
  fields["zone"] = Text(zone);
  fields["direction"] = Text(direction);
  fields["direction_name"] = Text(DirectionName(key));
  std::string json;
  google::protobuf::util::MessageToJsonString(totals, &json);
  out->push_back({topics_->Totals(process_, driver, zone, direction), json});
}

ZoneTotals::Out ZoneTotals::RollOver() {
  Out out;
  for (const Key& key : today_.RollOver()) AddTotals(key, &out);
  return out;
}

ZoneTotals::Out ZoneTotals::OnExit(const Key& key, absl::Time when,
                                   const std::string& direction_name,
                                   int64_t* count) {
  Out out = RollOver();
  if (!direction_name.empty()) {
    Names& names = names_[{std::get<0>(key), std::get<1>(key)}];
    (std::get<2>(key) == "FORWARD" ? names.first : names.second) =
        direction_name;
  }
  Count& line = counts_[key];
  // A journal's line counts from its first exit.
  if (line.count == 0 && line.since_ms == 0) {
    line.since_ms = absl::ToUnixMillis(when);
  }
  ++line.count;
  if (count != nullptr) *count = line.count;
  today_.Add(key, when);
  const auto& [driver, zone, direction] = key;
  out.push_back({topics_->Count(process_, driver, zone, direction),
                 std::to_string(line.count)});
  AddTotals(key, &out);
  return out;
}

ZoneTotals::Out ZoneTotals::FollowJournal(
    const std::string& driver,
    const std::map<std::pair<std::string, std::string>, Count>& counts) {
  journaled_.insert(driver);
  for (auto& [key, line] : counts_) {
    if (std::get<0>(key) == driver) line = Count();
  }
  for (const auto& [line, count] : counts) {
    counts_[Key(driver, line.first, line.second)] = count;
  }
  Out out;
  for (const auto& [key, line] : counts_) {
    if (std::get<0>(key) != driver) continue;
    out.push_back(
        {topics_->Count(process_, driver, std::get<1>(key), std::get<2>(key)),
         std::to_string(line.count)});
    AddTotals(key, &out);
  }
  return out;
}

void ZoneTotals::RestoreToday(const Key& key, const std::string& day,
                              int64_t count) {
  today_.Restore(key, day, count);
}

void ZoneTotals::RestoreAnnounced(const std::string& driver,
                                  const std::vector<std::string>& zones) {
  for (const std::string& zone : zones) announced_[driver][zone] = Names();
}

std::map<std::string, std::vector<std::string>> ZoneTotals::Announced() const {
  std::map<std::string, std::vector<std::string>> announced;
  for (const auto& [driver, lines] : announced_) {
    for (const auto& [zone, names] : lines) announced[driver].push_back(zone);
  }
  return announced;
}

void ZoneTotals::AddLine(const std::string& driver, const std::string& zone,
                         Out* out) {
  const Names& names = names_[{driver, zone}];
  for (const char* direction : kDirections) {
    const Key key(driver, zone, direction);
    AddTotals(key, out);
    if (discovery_ == nullptr) continue;
    out->push_back({discovery_->LineTopic(process_, driver, zone, direction),
                    discovery_->LineConfig(process_, driver, zone, direction,
                                           DirectionName(key))});
  }
  announced_[driver][zone] = names;
}

void ZoneTotals::ClearLine(const std::string& driver, const std::string& zone,
                           Out* out) {
  for (const char* direction : kDirections) {
    if (discovery_ != nullptr) {
      out->push_back(
          {discovery_->LineTopic(process_, driver, zone, direction), ""});
    }
    out->push_back({topics_->Count(process_, driver, zone, direction), ""});
    out->push_back({topics_->Today(process_, driver, zone, direction), ""});
    out->push_back({topics_->Totals(process_, driver, zone, direction), ""});
    today_.Forget(Key(driver, zone, direction));
  }
  announced_[driver].erase(zone);
}

ZoneTotals::Out ZoneTotals::OnDriverInfo(const std::string& driver,
                                         const DriverInfo& info) {
  Out out;
  if (!info.configured()) return out;
  const bool first = answered_.insert(driver).second;
  std::map<std::string, Names> now;
  for (const auto& line : info.zone()) {
    now[line.name()] = {line.forward_name(), line.backward_name()};
  }
  auto& announced = announced_[driver];
  std::vector<std::string> gone;
  for (const auto& [zone, names] : announced) {
    if (now.count(zone) == 0) gone.push_back(zone);
  }
  for (const std::string& zone : gone) ClearLine(driver, zone, &out);
  for (const auto& [zone, names] : now) {
    auto it = announced.find(zone);
    if (!first && it != announced.end() && it->second == names) continue;
    names_[{driver, zone}] = names;
    AddLine(driver, zone, &out);
  }
  return out;
}

ZoneTotals::Out ZoneTotals::OnCamera(const std::string& driver) {
  Out out;
  if (discovery_ == nullptr || !cameras_.insert(driver).second) return out;
  out.push_back({discovery_->CameraTopic(process_, driver),
                 discovery_->CameraConfig(process_, driver)});
  return out;
}

}  // namespace kestu_tools
