// The per-frame performance report of the object pipelines: when the
// pipeline's meter is enabled, the pipeline class's process-wide counter
// goes up by one, "Measurements: (frame #N)" is written to standard output
// and the meter's section averages to standard error.
#ifndef VISION_OBJECTS_MEASUREMENTS_H_
#define VISION_OBJECTS_MEASUREMENTS_H_

#include <atomic>
#include <cstdint>

#include "vision/timing/tick_meter_manager.h"

namespace talvenrook_vision {

// The counters, one per pipeline class; the first printed frame is #1.
std::atomic<int64_t>& ObjectMeasurementCounter();
std::atomic<int64_t>& CrowdMeasurementCounter();
std::atomic<int64_t>& VehicleMeasurementCounter();

// Writes the report when the meter is enabled; returns whether it did.
bool ReportMeasurements(TickMeterManagerBase& meter,
                        std::atomic<int64_t>& counter);

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_MEASUREMENTS_H_
