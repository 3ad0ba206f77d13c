#ifndef SRC_CHANNELS_KESTU_BASE_H_
#define SRC_CHANNELS_KESTU_BASE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "src/channels/socket_holder.h"
#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;
using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;
using Status = ::talvenrook::kestu::v1::driver::Status;

// The four channels of one driver, on consecutive ports from the base port P:
//   P    PULL  configuration: serialised DriverConfig messages from the client
//   P+1  REP   keep-alive: any request is a ping, answered with an empty frame
//   P+2  PUB   error/status: serialised Status messages
//   P+3  PUB   data: serialised results and previews
// Init binds them and starts three threads: configuration (parses and hands
// each DriverConfig to ProcessConfig), keep-alive (tracks whether pings
// arrive within the time-out) and update (calls SendUpdate every delay while
// the driver is configured and pinged).
//
// Delay and time-out from a DriverConfig are seconds; they are kept as
// milliseconds within [1 ms, 1 day]. A value outside that range is clamped
// to it, and a negative or non-finite one is refused (the current value
// stays); both with a WARNING. The update thread waits on a condition and
// the keep-alive thread in short slices, so that a new delay or time-out
// applies at once, measured from the last update cycle or the last ping.
// While it may not run (not configured, or not alive) the update thread
// waits until it may, without waking in between.
//
// Every socket has a maximum incoming message size: the configuration port
// the one given to set_max_configuration_message_bytes() (64 MiB unless
// changed before Init), the others 64 KiB. A peer that sends more is
// disconnected by the messaging library without the message being
// allocated. A socket error in a channel thread is logged and the channel
// goes on; it never ends the process.
//
// What the channels receive goes to the handlers their owner gives them (a
// driver owns its channels and hands them its configuration queue); a
// class derived from KestuBase may override the virtual operations instead.
//
// The threads run for the life of the channels. A derived class that
// overrides the virtual operations must call StopChannels() first thing in
// its destructor, so that no thread calls a virtual operation on a
// half-destroyed object; with handlers the destructor stops them.
class KestuBase {
 public:
  // Each handler may be left empty.
  struct Handlers {
    // Why a parsed message cannot be taken now (see RefusalReason); empty:
    // every message is taken.
    std::function<std::string(const DriverConfig&)> refusal;
    // Each parsed message that was not refused; false rejects it. Empty:
    // every message is accepted.
    std::function<bool(const DriverConfig&)> accept;
    // One update cycle; false reports an error status. Empty: every cycle
    // reports one.
    std::function<bool()> update;
  };

  explicit KestuBase(const std::string& driver_name, Handlers handlers = {});
  virtual ~KestuBase();

  KestuBase(const KestuBase&) = delete;
  KestuBase& operator=(const KestuBase&) = delete;

  // Binds the four channels from base_port and starts the threads. Returns
  // false, after logging the endpoint that failed, when a port cannot be
  // bound.
  bool Init(int base_port, const std::string& host,
            const std::string& transport = "tcp");

  // Called by the update thread every cycle; false reports an error status.
  // Runs the update handler.
  virtual bool SendUpdate();
  // Called by the configuration thread with each parsed message; false
  // rejects it. Runs the accept handler.
  virtual bool ProcessConfig(const DriverConfig& config);
  virtual void SetNotesForHuman(const std::string& notes);

  // Publishes a Status on the error channel (from any thread) without
  // waiting. Does nothing before Init. A status that a subscriber's full
  // queue refuses is not sent to anyone: it is counted (dropped_statuses in
  // Info()) and reported by a WARNING, the first at once and then at most
  // one per kDroppedStatusLogInterval (a minute), saying how many were dropped
  // since the last one.
  void SendStatus(Status::MessageType type, const std::string& uuid,
                  const std::string& message);
  // Publishes bytes on the data channel. False before Init or when dropped.
  bool SendData(const std::string& bytes);

  // This driver's entry of the driver-information reply.
  DriverInfo Info() const;
  // Where Info() takes the camera's health from (called from the
  // information service's thread). Set before Init.
  using CameraStateSource =
      std::function<::talvenrook::kestu::v1::driver::CameraState()>;
  void SetCameraStateSource(CameraStateSource source) {
    camera_state_ = std::move(source);
  }
  // The driver took a configuration, from the configuration port or kept
  // from an earlier run (Info() says configured).
  void set_holds_configuration(bool holds) { holds_configuration_ = holds; }
  // The counting lines Info() names (those of the pipeline in force).
  using ZoneInfo = ::talvenrook::kestu::v1::driver::ZoneInfo;
  void SetZones(std::vector<ZoneInfo> zones) {
    std::lock_guard<std::mutex> lock(zones_mutex_);
    zones_ = std::move(zones);
  }

  // Stops and joins the channel threads. Safe to call more than once.
  void StopChannels();

  // Largest configuration message the configuration port takes; applies to
  // the channels bound by the next Init.
  void set_max_configuration_message_bytes(int64_t bytes) {
    max_configuration_message_bytes_ = bytes;
  }

  // Shortest time between two WARNINGs about dropped statuses
  // (kDroppedStatusLogInterval unless changed).
  void set_dropped_status_log_interval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(drop_log_mutex_);
    dropped_status_log_interval_ = interval;
  }

  static constexpr int64_t kDefaultMaxConfigurationMessageBytes = 64 << 20;
  static constexpr int64_t kMaxSmallMessageBytes = 64 << 10;
  static constexpr int kMinIntervalMs = 1;
  static constexpr int kMaxIntervalMs = 24 * 60 * 60 * 1000;  // one day
  static constexpr std::chrono::seconds kDroppedStatusLogInterval{60};

  const std::string& driver_name() const { return driver_name_; }
  int base_port() const { return base_port_; }
  bool alive() const { return alive_; }
  bool configured() const { return configured_; }
  int delay_between_updates_ms() const { return delay_between_updates_; }
  int timeout_after_last_ping_ms() const { return timeout_after_last_ping_; }

  // Informational, as DriverInfo reports them: the drivers of this process
  // need pings (unless a kept configuration runs without a client).
  void set_needs_pings(bool value) { needs_pings_ = value; }
  // The update thread idles until a configuration was accepted.
  void set_mandatory_configuration(bool value) {
    mandatory_configuration_ = value;
  }

 protected:
  // Why a parsed message cannot be taken now (for example a full queue), or
  // an empty text. A refused message is answered with a STATUS_ERROR with
  // that text and the message's uuid, and dropped: ProcessConfig does not
  // see it, its delay and time-out do not apply, and configured keeps its
  // value. Runs on the configuration thread. Runs the refusal handler.
  virtual std::string RefusalReason(const DriverConfig& config);

 private:
  void ConfigurationLoop();
  void HandleConfigurationMessage(const std::string& bytes);
  // Applies the delay and time-out fields of an accepted message.
  void ApplyTimingFields(const DriverConfig& config);
  void KeepAliveLoop();
  void SetAlive(bool alive);
  void SetConfigured(bool configured);
  // Wakes the waits of the channel threads to look at their conditions.
  void WakeWaits();
  // Waits until an update cycle may run (configured when that is mandatory,
  // and alive); false when the channels stop.
  bool WaitUntilActive();
  // Answers a ping waiting on the keep-alive socket (and sets alive); true
  // when one came.
  bool AnswerPing(zmq::socket_t& socket);
  // Counts a status the error channel refused and logs the WARNING when it
  // is due. Called without any lock held: the WARNING may be forwarded as a
  // status itself.
  void CountDroppedStatus();
  void UpdateLoop();
  // Waits for the delay between updates after a cycle that ended at
  // cycle_end, following changes of the delay; false when the channels stop.
  bool WaitForNextCycle(std::chrono::steady_clock::time_point cycle_end);
  // Sleeps up to the given time; returns false when the channels stop.
  bool SleepUnlessStopped(int milliseconds);
  // Wakes the update thread so that it reads the delay again.
  void TimingChanged();

  int base_port_ = 0;
  std::atomic<bool> alive_{false};  // written by the keep-alive thread only
  bool provides_updates_ = true;
  std::atomic<int> delay_between_updates_{1000};  // ms
  std::atomic<bool> needs_pings_{true};
  std::atomic<int> timeout_after_last_ping_{5000};  // ms
  bool mandatory_configuration_ = false;
  std::atomic<bool> configured_{false};
  const std::string driver_name_;
  const Handlers handlers_;
  std::string notes_for_human_;
  CameraStateSource camera_state_;
  std::string transport_ = "tcp";

  // Serialises the handling of one configuration message against update
  // cycles: ProcessConfig never runs concurrently with SendUpdate.
  std::mutex channel_mutex_;

  std::unique_ptr<SocketHolder> configuration_channel_;
  std::unique_ptr<SocketHolder> keep_alive_channel_;
  std::unique_ptr<SocketHolder> error_channel_;
  std::unique_ptr<SocketHolder> data_channel_;

  std::atomic<int64_t> dropped_statuses_{0};
  std::atomic<bool> holds_configuration_{false};
  mutable std::mutex zones_mutex_;
  std::vector<ZoneInfo> zones_;  // guarded by zones_mutex_
  std::mutex drop_log_mutex_;    // guards the three below
  int64_t unlogged_drops_ = 0;
  std::chrono::milliseconds dropped_status_log_interval_{
      kDroppedStatusLogInterval};
  std::optional<std::chrono::steady_clock::time_point> last_drop_log_;

  int64_t max_configuration_message_bytes_ =
      kDefaultMaxConfigurationMessageBytes;

  // Guards timing_generation_ and the waits on wait_cv_ (stop_ and timing
  // changes).
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
  uint64_t timing_generation_ = 0;  // bumped on every delay change
  std::atomic<bool> stop_{false};

  std::thread configuration_thread_;
  std::thread keep_alive_thread_;
  std::thread update_thread_;
};

}  // namespace vostek_kestu

#endif  // SRC_CHANNELS_KESTU_BASE_H_
