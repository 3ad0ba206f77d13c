// StateFile: kestu-mqtt's --state_file, read once at start and written on
// a thread of its own whenever what it keeps changes.
//
// The file is the MqttState of tools/proto/kestu_tools.proto in protobuf's
// JSON mapping. Each write goes to PATH.tmp and is renamed over PATH, so
// that a reader (a restart) finds the old state or the new one whole; the
// data and the folder are synced at most once a second (and on Stop), so
// that a killed kestu-mqtt loses no write, a power cut at most the last
// second's.
//
// Example:
//   StateFile file("/var/lib/kestu/mqtt/state");
//   MqttState state;
//   if (!file.Load(&state, &error)) ...  // damaged: error says why
//   if (!file.Start([&] { return bridge_state(); }, &error)) ...
//   file.Changed();  // written within a few milliseconds
//   file.WriteNow();  // written when it returns
//   file.Stop();     // written and synced
#ifndef TOOLS_MQTT_STATE_FILE_H_
#define TOOLS_MQTT_STATE_FILE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kestu_tools.pb.h"

namespace kestu_tools {

class StateFile {
 public:
  using State = ::kestu::tools::MqttState;
  using Snapshot = std::function<State()>;

  static constexpr auto kSyncPeriod = std::chrono::seconds(1);

  explicit StateFile(std::string path);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  const std::string& path() const { return path_; }

  // The kept state: empty when there is no file. False, with the reason,
  // when the file cannot be read or is not a whole, sound state.
  bool Load(State* state, std::string* error) const;
  // Moves the file aside to PATH.damaged; false with the reason.
  bool SetAside(std::string* error) const;
  // Writes `snapshot()` at once (false, with the reason, when that fails:
  // the folder is missing or not writable), then starts the writing thread.
  bool Start(Snapshot snapshot, std::string* error);
  // What `snapshot` returns has changed.
  void Changed();
  // Writes `snapshot()` now, before the caller goes on (not synced: a
  // killed kestu-mqtt keeps it). A failed write is tried again by the
  // thread, which logs it. Requires: Start succeeded.
  void WriteNow();
  // Writes the last change, synced, and ends the thread. Stopping twice is
  // safe.
  void Stop();

  int64_t write_errors() const;

 private:
  bool Write(const State& state, bool sync, std::string* error);
  void Run();

  const std::string path_;
  Snapshot snapshot_;
  std::thread thread_;
  // Held from taking a snapshot until it is renamed over the file, so that
  // a later snapshot is never overwritten by an earlier one.
  std::mutex write_mutex_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  bool changed_ = false;
  bool unsynced_ = false;
  bool stopping_ = false;
  int64_t write_errors_ = 0;
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_STATE_FILE_H_
