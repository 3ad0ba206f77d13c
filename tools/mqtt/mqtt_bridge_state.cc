// MqttBridge: what --state_file keeps, and taking it back.
#include <algorithm>
#include <utility>
#include <vector>

#include "tools/driver_client.h"
#include "tools/mqtt/mqtt_bridge.h"
#include "tools/mqtt/mqtt_log.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

bool IsDriver(const std::string& driver) {
  const auto& keys = DriverKeys();
  return std::find(keys.begin(), keys.end(), driver) != keys.end();
}

}  // namespace

bool MqttBridge::UseStateFile(const std::string& path, std::string* error) {
  auto file = std::make_unique<StateFile>(path);
  std::string damage;
  if (!file->Load(&kept_, &damage)) {
    std::string aside_error;
    const bool aside = file->SetAside(&aside_error);
    MqttLog("ERROR: the state file " + path + " is damaged (" + damage +
            "); starting without it, each driver from its journal's end" +
            (aside ? " (the damaged file is kept as " + path + ".damaged)"
                   : " (" + aside_error + ")"));
  }
  if (!file->Start([this] { return Snapshot(); }, error)) return false;
  state_file_ = std::move(file);
  return true;
}

StateFile::State MqttBridge::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  StateFile::State state = kept_;
  auto add_today = [&](const std::string& process, const std::string& driver,
                       const std::string& zone, const std::string& direction,
                       const std::string& day, int64_t count) {
    auto* total = state.add_day_totals();
    total->set_process(process);
    total->set_driver(driver);
    total->set_zone(zone);
    v1::ZoneDirection parsed = v1::ZoneDirection();
    v1::ZoneDirection_Parse(direction, &parsed);
    total->set_direction(parsed);
    total->set_day(day);
    total->set_count(count);
  };
  for (const auto& [name, process] : processes_) {
    const ZoneTotals& zones = *process->zones;
    for (const auto& [driver, journal] : process->journals) {
      if (!journal.started()) continue;
      auto* position = state.add_positions();
      position->set_process(name);
      position->set_driver(driver);
      position->set_journal_id(journal.journal_id());
      position->set_sequence(journal.sequence());
      for (const auto& [key, count] : journal.counts()) {
        auto* kept = position->add_counts();
        kept->set_zone(key.first);
        v1::ZoneDirection direction = v1::ZoneDirection();
        v1::ZoneDirection_Parse(key.second, &direction);
        kept->set_direction(direction);
        kept->set_count(count);
        auto line = zones.counts().find({driver, key.first, key.second});
        if (line != zones.counts().end()) {
          kept->set_since_ms(line->second.since_ms);
        }
      }
      for (const auto& [sequence, received] : process->receipts.Sent(driver)) {
        if (sequence <= journal.sequence()) continue;
        auto* sent = position->add_sent();
        sent->set_sequence(sequence);
        sent->set_received(received);
      }
      // Today's totals as of the kept position.
      for (const auto& [key, day] : journal.days()) {
        add_today(name, driver, key.first, key.second, day.first, day.second);
      }
    }
    for (const auto& [key, count] : zones.today().totals()) {
      const auto& [driver, zone, direction] = key;
      auto journal = process->journals.find(driver);
      if (journal != process->journals.end() && journal->second.started()) {
        continue;
      }
      add_today(name, driver, zone, direction, zones.today().day_text(), count);
    }
    for (const auto& [driver, lines] : zones.Announced()) {
      auto* announced = state.add_announced();
      announced->set_process(name);
      announced->set_driver(driver);
      for (const std::string& zone : lines) announced->add_zone(zone);
    }
  }
  return state;
}

ZoneTotals::Out MqttBridge::Restore(const std::string& process, Process* p) {
  // Today's totals first, so that the counts' totals show them.
  std::map<std::string, AckFrontier::DayCounts> days;  // by driver
  auto* totals = kept_.mutable_day_totals();
  for (auto it = totals->begin(); it != totals->end();) {
    if (it->process() != process) {
      ++it;
      continue;
    }
    const std::string direction = v1::ZoneDirection_Name(it->direction());
    p->zones->RestoreToday({it->driver(), it->zone(), direction}, it->day(),
                           it->count());
    days[it->driver()][{it->zone(), direction}] = {it->day(), it->count()};
    it = totals->erase(it);
  }
  auto* announced = kept_.mutable_announced();
  for (auto it = announced->begin(); it != announced->end();) {
    if (it->process() != process) {
      ++it;
      continue;
    }
    p->zones->RestoreAnnounced(
        it->driver(),
        std::vector<std::string>(it->zone().begin(), it->zone().end()));
    it = announced->erase(it);
  }
  ZoneTotals::Out out;
  auto* positions = kept_.mutable_positions();
  for (auto it = positions->begin(); it != positions->end();) {
    if (it->process() != process || !IsDriver(it->driver())) {
      ++it;
      continue;
    }
    AckFrontier::Counts kept;
    std::map<AckFrontier::ZoneKey, ZoneTotals::Count> counts;
    for (const auto& count : it->counts()) {
      const AckFrontier::ZoneKey key{count.zone(),
                                     v1::ZoneDirection_Name(count.direction())};
      kept[key] += count.count();
      counts[key].count += count.count();
      counts[key].since_ms = count.since_ms();
    }
    const auto lines = p->zones->FollowJournal(it->driver(), counts);
    out.insert(out.end(), lines.begin(), lines.end());
    p->journals[it->driver()].Start(it->journal_id(), it->sequence(),
                                    std::move(kept),
                                    std::move(days[it->driver()]));
    for (const auto& sent : it->sent()) {
      if (sent.sequence() > it->sequence()) {
        p->receipts.Restore(it->driver(), sent.sequence(), sent.received());
      }
    }
    it = positions->erase(it);
  }
  for (const auto& [key, count] : p->zones->today().totals()) {
    const auto lines = p->zones->Totals(key);
    out.insert(out.end(), lines.begin(), lines.end());
  }
  return out;
}

}  // namespace kestu_tools
