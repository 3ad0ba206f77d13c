#ifndef SRC_DRIVER_PROCESS_SETTINGS_H_
#define SRC_DRIVER_PROCESS_SETTINGS_H_

#include <atomic>
#include <memory>

namespace vostek_kestu {

// The process-wide settings that a driver configuration may change at run
// time: testing mode ("testing_mode"), the preview window ("show_gui") and
// the detection time-out of the watchdog ("detection_timeout", seconds).
//
// The command-line flags of the same names seed them; from then on the
// flags are not read again. The process gives one object to all its
// drivers, so that the value last written holds for every driver; a driver
// built without one seeds its own. Thread-safe: configurations write on the
// capture threads, the frame steps and watchdogs read on theirs.
class ProcessSettings {
 public:
  // A detection time-out below this is raised to it.
  static constexpr int kMinDetectionTimeout = 30;

  ProcessSettings(bool testing_mode, bool show_gui, int detection_timeout);
  // Seeded from --testing_mode, --show_gui and --detection_timeout.
  static std::shared_ptr<ProcessSettings> FromFlags();

  bool testing_mode() const { return testing_mode_; }
  void set_testing_mode(bool value) { testing_mode_ = value; }
  bool show_gui() const { return show_gui_; }
  void set_show_gui(bool value) { show_gui_ = value; }
  int detection_timeout() const { return detection_timeout_; }
  // Stores max(seconds, kMinDetectionTimeout) and returns it.
  int set_detection_timeout(int seconds);

 private:
  std::atomic<bool> testing_mode_;
  std::atomic<bool> show_gui_;
  std::atomic<int> detection_timeout_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_PROCESS_SETTINGS_H_
