#ifndef SRC_DRIVER_DRIVER_BASE_H_
#define SRC_DRIVER_DRIVER_BASE_H_

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "src/channels/callback_log_sink.h"
#include "src/channels/kestu_base.h"
#include "src/channels/streaming_manager.h"

namespace vostek_kestu {

// The generic vision driver. Configuration messages received on the
// configuration channel are queued here and applied between frames by the
// capture thread; log lines can be forwarded to the client as Status
// messages on the error channel.
class BaseDriver : public KestuBase {
 public:
  explicit BaseDriver(const std::string& driver_name);
  ~BaseDriver() override;

  // Results are published by the capture loop, not by update cycles.
  bool SendUpdate() override;
  // Queues a copy of the message for the capture thread; never rejects.
  bool ProcessConfig(const DriverConfig& config) override;

  // Stand-alone mode: reads the configuration named by --configuration_proto
  // and runs the driver on the calling thread. Returns the exit status.
  virtual int RunStandalone();

  // Registers (once) or unregisters the driver's log sink. While registered,
  // every log line of the process is also sent as a Status on this driver's
  // error channel: INFO -> STATUS_INFO, WARNING -> STATUS_WARNING,
  // ERROR -> STATUS_ERROR, FATAL -> STATUS_CRITICAL.
  void SetLogForwarding(bool enabled);
  bool log_forwarding_enabled() const { return log_forwarding_enabled_; }

  void SetStreamingManager(std::shared_ptr<StreamingManagerBase> manager);
  std::shared_ptr<StreamingManagerBase> streaming_manager() const;

  // Number of configurations waiting for the capture thread.
  size_t PendingConfigurationCount() const;

 protected:
  void ForwardLogLine(int severity, const std::string& message);

  mutable std::mutex configuration_mutex_;  // guards pending_configurations_
  std::deque<DriverConfig> pending_configurations_;

 private:
  CallbackLogSink log_sink_;
  std::mutex log_sink_mutex_;  // guards log_forwarding_enabled_ changes
  bool log_forwarding_enabled_ = false;
  mutable std::mutex streaming_mutex_;  // guards streaming_manager_
  std::shared_ptr<StreamingManagerBase> streaming_manager_;
};

// Reads a DriverConfig from a file: protobuf text format when the name ends
// in ".textproto", ".txtpb" or ".pbtxt", binary otherwise. False, with an
// ERROR line, when the file cannot be opened or does not parse.
bool LoadConfigurationFile(const std::string& path, DriverConfig* config);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_BASE_H_
