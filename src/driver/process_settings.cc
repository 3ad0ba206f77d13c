#include "src/driver/process_settings.h"

#include <algorithm>

#include "src/flags.h"

namespace vostek_kestu {

ProcessSettings::ProcessSettings(bool testing_mode, bool show_gui,
                                 int detection_timeout)
    : testing_mode_(testing_mode),
      show_gui_(show_gui),
      detection_timeout_(detection_timeout) {}

std::shared_ptr<ProcessSettings> ProcessSettings::FromFlags() {
  return std::make_shared<ProcessSettings>(FLAGS_testing_mode, FLAGS_show_gui,
                                           FLAGS_detection_timeout);
}

int ProcessSettings::set_detection_timeout(int seconds) {
  const int stored = std::max(seconds, kMinDetectionTimeout);
  detection_timeout_ = stored;
  return stored;
}

}  // namespace vostek_kestu
