// StreamKeeper: keeps a counting process streaming while kestu-web takes
// snapshots of crossings, which come from the streamed frames.
//
// The streaming channel is one per process, shared by its drivers, and
// START_STREAMING to any driver turns it on for all. A driver counts when
// its description says it is configured with counting lines, or when it
// published a zone exit in the last minute; not while its description
// says its camera is disconnected. When a process with a counting driver
// has sent no streamed frame for `quiet`, the keeper sends that driver
// START_STREAMING on its configuration port, again after `retry` while the
// frames stay away, twice as long each time up to kMaxRetry (every request
// is answered with a status), and from `retry` again once frames came.
// Unlike a command from the page, this does not make kestu-web ping the
// driver: watching keeps no driver alive.
//
// Thread-safe.
#ifndef TOOLS_WEB_SNAPSHOT_STREAMING_H_
#define TOOLS_WEB_SNAPSHOT_STREAMING_H_

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace kestu_tools {

class StreamKeeper {
 public:
  using Clock = std::chrono::steady_clock;
  using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;

  static constexpr std::chrono::milliseconds kMaxRetry{300000};

  struct Target {
    std::string process;  // its name ("host:port")
    std::string host;
    int bind_port = 0;
  };

  explicit StreamKeeper(
      std::vector<Target> targets,
      std::chrono::milliseconds quiet = std::chrono::seconds(3),
      std::chrono::milliseconds retry = std::chrono::seconds(10));
  ~StreamKeeper();
  StreamKeeper(const StreamKeeper&) = delete;
  StreamKeeper& operator=(const StreamKeeper&) = delete;

  void Start();
  void Stop();

  void OnDescribed(const std::string& process, const std::string& driver,
                   const DriverInfo& info);
  void OnExit(const std::string& process, const std::string& driver);
  void OnFrame(const std::string& process);

  // START_STREAMING requests sent so far.
  int requests() const;

 private:
  struct Process {
    Target target;
    Clock::time_point last_frame;  // or when the keeper started
    Clock::time_point last_request{};
    std::chrono::milliseconds retry{0};  // the wait before the next request
    int requests = 0;
    std::set<std::string> configured;                // by their description
    std::map<std::string, Clock::time_point> exits;  // last zone exit
  };
  void Run();
  // The driver to ask, or empty. Requires: mutex_ held.
  std::string Counting(const Process& p, Clock::time_point now) const;

  const std::chrono::milliseconds quiet_;
  const std::chrono::milliseconds retry_;
  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable wake_;
  bool stopping_ = false;
  int requests_ = 0;
  std::map<std::string, Process> processes_;  // by name
  std::thread thread_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_STREAMING_H_
