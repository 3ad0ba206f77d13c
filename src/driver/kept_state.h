#ifndef SRC_DRIVER_KEPT_STATE_H_
#define SRC_DRIVER_KEPT_STATE_H_

#include <optional>
#include <string>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;

// The lasting state that a driver's commands set.
struct CommandState {
  bool detection_stopped = false;
  bool streaming = false;
};

// What one driver keeps in its state folder, so that it runs again as it
// was after the process restarts, with no client:
//   configuration.pb   the accepted configurations merged into one
//                      DriverConfig, its model files pointing into gen-N/
//   gen-N/             copies of the model files of that configuration
//   commands.txt       "detection_stopped 0|1" and "streaming 0|1"
// Every file is written to a temporary name, synced, then renamed over the
// old one, so that a kill leaves either the old or the new state.
//
// A configuration that brings models replaces the kept one; one without
// models changes the kept keys (a key it leaves out keeps its value, except
// "max_fps", which every configuration resets); "recording_options" (a
// one-off request) is never kept. Model files ("..._file" keys of a model's
// "content" and "config") are copied, so that a file later edited or
// deleted does not change what runs; models given as bytes are kept as
// they came.
//
// Thread-safety: none; the driver's capture thread uses it.
class KeptState {
 public:
  // `folder` is created when missing.
  explicit KeptState(std::string folder);

  const std::string& folder() const { return folder_; }
  // Merges an accepted configuration into the kept one and writes it;
  // false with a reason when it cannot be written (the old state stays).
  bool Keep(const DriverConfig& accepted, std::string* error);
  // The kept configuration; nullopt without one, or with `error` set when
  // it cannot be read (the file stays as it is).
  std::optional<DriverConfig> Load(std::string* error) const;
  bool KeepCommands(const CommandState& state, std::string* error);
  CommandState LoadCommands() const;

 private:
  // Copies the model files of `config` into a new generation folder and
  // points the configuration at the copies.
  bool CopyModels(DriverConfig* config, std::string* generation,
                  std::string* error);
  void RemoveOtherGenerations(const std::string& keep) const;

  const std::string folder_;
  std::optional<DriverConfig> kept_;  // what configuration.pb holds
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_KEPT_STATE_H_
