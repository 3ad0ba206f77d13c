#include "vision/objects/measurements.h"

#include <iostream>
#include <sstream>

namespace talvenrook_vision {

std::atomic<int64_t>& ObjectMeasurementCounter() {
  static std::atomic<int64_t> counter{0};
  return counter;
}

std::atomic<int64_t>& CrowdMeasurementCounter() {
  static std::atomic<int64_t> counter{0};
  return counter;
}

std::atomic<int64_t>& VehicleMeasurementCounter() {
  static std::atomic<int64_t> counter{0};
  return counter;
}

bool ReportMeasurements(TickMeterManagerBase& meter,
                        std::atomic<int64_t>& counter) {
  if (!meter.IsEnabled()) return false;
  const int64_t frame = ++counter;
  std::cout << "Measurements: (frame #" << frame << ")" << std::endl;
  // One write, so that lines of other threads do not cut the report.
  std::ostringstream report;
  meter.Print(report);
  std::cerr << report.str() << std::flush;
  return true;
}

}  // namespace talvenrook_vision
