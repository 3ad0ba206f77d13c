// The clients the fault probe runs beside its fuzzing: pingers that keep
// the drivers alive and time their answers, a watcher of the status
// channels, and senders of garbage to the ports that are not fed
// configurations.
#ifndef TOOLS_FAULT_PROBE_PROBE_CLIENTS_H_
#define TOOLS_FAULT_PROBE_PROBE_CLIENTS_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "tools/driver_client.h"

namespace kestu_tools {

// Pings one driver every interval from its own thread.
class Pinger {
 public:
  Pinger(zmq::context_t& context, std::string host, int base_port,
         Millis timeout, Millis interval);
  ~Pinger();

  struct Stats {
    int64_t pings = 0;
    int64_t failures = 0;
    int max_consecutive_failures = 0;
    std::vector<double> latencies_ms;  // of answered pings since the last Take
    std::vector<double> failure_times_s;  // since the pinger started
  };
  // The counts so far; the latencies are handed over and cleared.
  Stats Take();

 private:
  void Run();

  zmq::context_t& context_;
  const std::string host_;
  const int base_port_;
  const Millis timeout_;
  const Millis interval_;
  const std::chrono::steady_clock::time_point started_ =
      std::chrono::steady_clock::now();
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards stats_ and consecutive_
  Stats stats_;
  int consecutive_ = 0;
  std::thread thread_;
};

// Subscribes to the status channels of the drivers and keeps what came.
class StatusWatcher {
 public:
  StatusWatcher(zmq::context_t& context,
                const std::vector<std::string>& endpoints);
  ~StatusWatcher();

  // Waits for a status of the type whose uuid is the given one.
  std::optional<Status> WaitFor(Status::MessageType type,
                                const std::string& uuid, Millis timeout);
  // Whether the message with that uuid was refused for a full queue.
  bool Refused(const std::string& uuid);
  // Drops what came for that uuid (before it is sent again).
  void Forget(const std::string& uuid);
  // Waits until a status with that uuid satisfies `done` (given every
  // status of the uuid so far, in arrival order); returns them all, or
  // nullopt after the time-out.
  std::optional<std::vector<Status>> WaitUntil(
      const std::string& uuid,
      const std::function<bool(const std::vector<Status>&)>& done,
      Millis timeout);
  // Statuses received, by type name; and the refusals for a full queue.
  std::map<std::string, int64_t> Counts();
  int64_t QueueFullCount();
  bool connected() const { return connected_; }

 private:
  void Run();

  zmq::context_t& context_;
  const std::vector<std::string> endpoints_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::mutex mutex_;  // guards the members below
  std::condition_variable changed_;
  std::map<std::string, int64_t> counts_;
  int64_t queue_full_ = 0;
  // Statuses of the probe's own messages (uuids starting with "probe-").
  std::vector<Status> own_;
  std::thread thread_;
};

// Bytes and frames a well-behaved client never sends, to any port.
class GarbageSender {
 public:
  GarbageSender(zmq::context_t& context, std::string host, uint32_t seed);

  // Something malformed for a REP port (keep-alive or driver information):
  // raw bytes, multi-part frames, frames without an envelope, an oversized
  // request. Returns the kind sent.
  std::string ToReplyPort(int port);
  // Raw bytes on a TCP connection (any port).
  void RawBytes(int port);

 private:
  zmq::context_t& context_;
  const std::string host_;
  std::mt19937 rng_;
};

// p-th percentile (0..100) of the values; 0 when there are none.
double Percentile(std::vector<double> values, double p);

}  // namespace kestu_tools

#endif  // TOOLS_FAULT_PROBE_PROBE_CLIENTS_H_
