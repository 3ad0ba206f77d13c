#ifndef TOOLS_DRIVER_CLIENT_H_
#define TOOLS_DRIVER_CLIENT_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"

namespace kestu_tools {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;
using KestuDriverInfo = ::talvenrook::kestu::v1::driver::KestuDriverInfo;
using Status = ::talvenrook::kestu::v1::driver::Status;
using VisionResult = ::talvenrook::vision::v1::VisionResult;
using Millis = std::chrono::milliseconds;

// Offset of a driver's base port from --bind_port: face 1, vehicle 5,
// crowd 9 (the process's driver table). Returns 0 for an unknown name.
int DriverPortOffset(const std::string& driver);
// A process with an event journal answers JournalRequests on its bind port
// plus this.
constexpr int kJournalPortOffset = 13;

// The drivers of a process, in port order: face, vehicle and crowd (the
// keys of the process's driver table).
const std::vector<std::string>& DriverKeys();

// "tcp://host:port".
std::string Endpoint(const std::string& host, int port);

// Asks the driver-information service; nullopt when it does not answer in
// time.
std::optional<KestuDriverInfo> QueryDriverInfo(zmq::context_t& context,
                                               const std::string& host,
                                               int port, Millis timeout);

// A subscriber connected to one PUB endpoint (all messages). Construction
// waits until the connection's handshake completed, so that messages
// published after it are seen.
class Subscriber {
 public:
  Subscriber(zmq::context_t& context, const std::string& endpoint,
             Millis connect_timeout);
  bool connected() const { return connected_; }
  // One frame, or nullopt after the time-out.
  std::optional<std::string> Receive(Millis timeout);
  zmq::socket_t& socket() { return socket_; }

 private:
  zmq::socket_t socket_;
  bool connected_ = false;
};

// A client of one driver's four channels.
class DriverClient {
 public:
  DriverClient(zmq::context_t& context, const std::string& host, int base_port);

  // One ping on the keep-alive port. False when no reply arrived in time
  // (the REQ socket is then replaced so the next ping can go out).
  bool Ping(Millis timeout);
  // Pushes bytes to the configuration port; false when not queued in time.
  bool Push(const std::string& bytes, Millis timeout);
  bool Push(const DriverConfig& config, Millis timeout) {
    return Push(config.SerializeAsString(), timeout);
  }

  int base_port() const { return base_port_; }
  std::string StatusEndpoint() const;
  std::string DataEndpoint() const;

 private:
  void ResetPingSocket();

  zmq::context_t& context_;
  const std::string host_;
  const int base_port_;
  std::unique_ptr<zmq::socket_t> ping_;
  zmq::socket_t push_;
};

// Waits for the next Status on the subscriber; nullopt after the time-out or
// on bytes that do not parse.
std::optional<Status> ReceiveStatus(Subscriber& subscriber, Millis timeout);

// A random version-4 UUID in lower-case 8-4-4-4-12 form.
std::string NewUuid();

}  // namespace kestu_tools

#endif  // TOOLS_DRIVER_CLIENT_H_
