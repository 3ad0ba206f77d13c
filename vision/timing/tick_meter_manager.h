// Per-frame timing of named sections of a pipeline's work.
#ifndef VISION_TIMING_TICK_METER_MANAGER_H_
#define VISION_TIMING_TICK_METER_MANAGER_H_

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include <google/protobuf/map.h>

namespace talvenrook_vision {

// The measurements of one named section.
struct SectionRecord {
  int64_t count = 0;        // completed measurements
  int64_t total_ticks = 0;  // sum of the measured intervals
  int64_t start_tick = 0;   // tick count at the last start, 0 when not running
};

// The timer interface, and the timer of a pipeline that does not monitor its
// performance: every operation does nothing, StopSection returns 0 and
// IsEnabled returns false, so switched-off monitoring costs one virtual call.
class TickMeterManagerBase {
 public:
  TickMeterManagerBase() = default;
  TickMeterManagerBase(const TickMeterManagerBase&) = delete;
  TickMeterManagerBase& operator=(const TickMeterManagerBase&) = delete;
  virtual ~TickMeterManagerBase();

  virtual void Reset() {}
  virtual void SetSection(const std::string& name,
                          const SectionRecord& record) {}
  virtual void StartSection(const std::string& name) {}
  virtual int64_t StopSection(const std::string& name) { return 0; }
  // Counts ticks measured elsewhere (on another thread) into the section's
  // total; the count of measurements stays.
  virtual void AddTicks(const std::string& name, int64_t ticks) {}
  virtual void Print(std::ostream& out) {}
  virtual void ExportSections(
      google::protobuf::Map<std::string, float>* sections) {}
  virtual bool IsEnabled() { return false; }
};

// Times named sections ("Detection", "Tracking", ...) with a tick counter.
//
// A section appears on first StartSection or SetSection and lives as long as
// the manager; Reset zeroes the records but keeps the sections. The average
// of a section is total ticks / tick frequency * 1000 / count milliseconds,
// not a number for a section without a completed measurement. Print and
// ExportSections visit the sections in name order.
//
// Not thread-safe: a timer belongs to the one thread that processes its
// pipeline's frames.
class TickMeterManager : public TickMeterManagerBase {
 public:
  using TickFunction = std::function<int64_t()>;

  // The OpenCV tick counter.
  TickMeterManager();
  // A tick counter of the caller's choice; tick_frequency is in ticks per
  // second. Requires: ticks is callable, tick_frequency > 0.
  TickMeterManager(TickFunction ticks, double tick_frequency);
  ~TickMeterManager() override;

  // Zeroes count, total ticks and start tick of every section.
  void Reset() override;
  // Creates the section if needed and replaces its record.
  void SetSection(const std::string& name,
                  const SectionRecord& record) override;
  // Creates the section if needed and starts it at the current tick count.
  void StartSection(const std::string& name) override;
  // Ends the running measurement of the section and returns its ticks. A
  // section that is not running (or does not exist) is left unchanged and
  // the current tick count is returned instead.
  int64_t StopSection(const std::string& name) override;
  void AddTicks(const std::string& name, int64_t ticks) override;
  // One line per section: "<name>: <average>ms".
  void Print(std::ostream& out) override;
  // Sets sections[name] to the average in milliseconds of every section.
  void ExportSections(
      google::protobuf::Map<std::string, float>* sections) override;
  bool IsEnabled() override { return true; }

  // The record of a section, or nullptr when it does not exist.
  const SectionRecord* Find(const std::string& name) const;

 private:
  using SectionMap = std::unordered_map<std::string, SectionRecord>;

  SectionRecord& Section(const std::string& name);
  double AverageMilliseconds(const SectionRecord& record) const;

  TickFunction ticks_;
  double tick_frequency_;
  SectionMap sections_;
  // The entries of sections_ in name order; map nodes never move, so these
  // stay valid as sections are added.
  std::vector<const SectionMap::value_type*> ordered_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TIMING_TICK_METER_MANAGER_H_
