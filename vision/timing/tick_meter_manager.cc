#include "vision/timing/tick_meter_manager.h"

#include <algorithm>
#include <utility>

#include <opencv2/core/utility.hpp>

namespace talvenrook_vision {

TickMeterManagerBase::~TickMeterManagerBase() = default;

TickMeterManager::TickMeterManager()
    : TickMeterManager([] { return static_cast<int64_t>(cv::getTickCount()); },
                       cv::getTickFrequency()) {}

TickMeterManager::TickMeterManager(TickFunction ticks, double tick_frequency)
    : ticks_(std::move(ticks)), tick_frequency_(tick_frequency) {}

TickMeterManager::~TickMeterManager() = default;

void TickMeterManager::Reset() {
  for (auto& entry : sections_) entry.second = SectionRecord();
}

void TickMeterManager::SetSection(const std::string& name,
                                  const SectionRecord& record) {
  Section(name) = record;
}

void TickMeterManager::StartSection(const std::string& name) {
  Section(name).start_tick = ticks_();
}

void TickMeterManager::AddTicks(const std::string& name, int64_t ticks) {
  Section(name).total_ticks += ticks;
}

int64_t TickMeterManager::StopSection(const std::string& name) {
  const int64_t now = ticks_();
  auto it = sections_.find(name);
  if (it == sections_.end() || it->second.start_tick == 0) return now;
  SectionRecord& record = it->second;
  const int64_t elapsed = now - record.start_tick;
  ++record.count;
  record.total_ticks += elapsed;
  record.start_tick = 0;
  return elapsed;
}

void TickMeterManager::Print(std::ostream& out) {
  for (const auto* entry : ordered_) {
    out << entry->first << ": " << AverageMilliseconds(entry->second) << "ms\n";
  }
}

void TickMeterManager::ExportSections(
    google::protobuf::Map<std::string, float>* sections) {
  if (sections == nullptr) return;
  for (const auto* entry : ordered_) {
    (*sections)[entry->first] =
        static_cast<float>(AverageMilliseconds(entry->second));
  }
}

const SectionRecord* TickMeterManager::Find(const std::string& name) const {
  auto it = sections_.find(name);
  return it == sections_.end() ? nullptr : &it->second;
}

SectionRecord& TickMeterManager::Section(const std::string& name) {
  auto inserted = sections_.try_emplace(name);
  if (inserted.second) {
    const SectionMap::value_type* entry = &*inserted.first;
    auto position = std::lower_bound(
        ordered_.begin(), ordered_.end(), entry,
        [](const SectionMap::value_type* a, const SectionMap::value_type* b) {
          return a->first < b->first;
        });
    ordered_.insert(position, entry);
  }
  return inserted.first->second;
}

double TickMeterManager::AverageMilliseconds(
    const SectionRecord& record) const {
  return static_cast<double>(record.total_ticks) / tick_frequency_ * 1000.0 /
         static_cast<double>(record.count);
}

}  // namespace talvenrook_vision
