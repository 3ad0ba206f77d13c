// ProcessLink: a tool's connection to one kestu-vision process (kestu-web's
// and kestu-mqtt's).
//
// The link thread subscribes to each driver's status and data ports and to
// the process's streaming port (unless the address's streaming port is 0)
// and hands everything that arrives to the listener (kestu-web's WebHub);
// subscriptions reconnect by themselves when the process comes back. It never
// waits for anything else, so no frame waits behind a query.
//
// The control thread asks the process for its driver information every few
// seconds (a process that does not answer shows as not reachable; each
// driver's part of the answer, its camera's state among the rest, goes to
// the listener) and pings the drivers that the page sent a configuration
// or a command to: watching never keeps a driver alive.
//
// Results of a process with an event journal go through a JournalFollower
// per driver, so that a listener that keeps a journal position gets each
// once, in order, with what it missed fetched from the process's journal
// port (at once on a missed number, and every 3 s).
#ifndef TOOLS_WEB_PROCESS_LINK_H_
#define TOOLS_WEB_PROCESS_LINK_H_

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "tools/driver_client.h"
#include "tools/web/process_listener.h"

namespace kestu_tools {

// "host:port" with an optional "/streaming_port" (default: port - 1, as
// the process's own defaults 60000 and 59999).
struct ProcessAddress {
  std::string name;  // "host:port"
  std::string host;
  int bind_port = 0;
  int streaming_port = 0;  // 0: the link does not subscribe to it
};
bool ParseProcessAddress(const std::string& text, ProcessAddress* address,
                         std::string* error);

// --process may be repeated, which the flags library does not allow: every
// occurrence ("--process X" or "--process=X") is taken out of argv and
// returned in order.
std::vector<std::string> TakeProcessArguments(int* argc, char** argv);

// The REQ side of a process's journal port. A request not answered within
// 2 s makes it wait 3 s before it asks again (nullopt meanwhile), so that a
// process without a journal costs the link thread little.
class JournalClient {
 public:
  using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;
  using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;

  JournalClient(zmq::context_t* context, std::string host, int port);
  ~JournalClient();
  std::optional<JournalReply> Fetch(const JournalRequest& request);

 private:
  zmq::context_t* const context_;
  const std::string host_;
  const int port_;
  std::unique_ptr<zmq::socket_t> socket_;
  std::chrono::steady_clock::time_point quiet_until_;
};

class ProcessLink {
 public:
  ProcessLink(ProcessListener* hub, ProcessAddress address);
  ~ProcessLink();
  ProcessLink(const ProcessLink&) = delete;
  ProcessLink& operator=(const ProcessLink&) = delete;

  void Start();
  void Stop();

  // Pushes a configuration or command to one of the process's drivers
  // ("face", "vehicle", "crowd"), which from then on is pinged. False when
  // the push could not be queued.
  bool Send(const std::string& driver, const DriverConfig& config);

  const ProcessAddress& address() const { return address_; }

 private:
  void Run();
  void Control();
  bool QueryInfo();

  ProcessListener* hub_;
  const ProcessAddress address_;
  zmq::context_t context_{1};
  std::atomic<bool> stopping_{false};
  std::thread link_thread_;
  std::thread control_thread_;
  std::mutex push_mutex_;  // guards pushers_
  std::map<std::string, std::unique_ptr<DriverClient>> pushers_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_PROCESS_LINK_H_
