#include "src/channels/driver_info_service.h"

#include <utility>

#include <glog/logging.h>

namespace vostek_kestu {

DriverInfoService::DriverInfoService(uint32_t port, std::string host)
    : port_(port), host_(std::move(host)) {}

void DriverInfoService::Register(const KestuBase* driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  drivers_.push_back(driver);
}

KestuDriverInfo DriverInfoService::BuildInfo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  KestuDriverInfo reply;
  for (const KestuBase* driver : drivers_) *reply.add_info() = driver->Info();
  return reply;
}

bool DriverInfoService::Run() {
  auto channel = std::make_shared<SocketHolder>(zmq::socket_type::rep);
  if (!channel->Bind(MakeEndpoint("tcp", host_, static_cast<int>(port_)))) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channel_ = channel;
  }
  zmq::socket_t& socket = channel->socket();
  try {
    while (!stop_) {
      zmq::message_t request;
      // The request's content is ignored; read every part of it so that the
      // reply may be sent.
      do {
        (void)socket.recv(request, zmq::recv_flags::none);
      } while (request.more());
      const std::string reply = BuildInfo().SerializeAsString();
      (void)socket.send(zmq::buffer(reply), zmq::send_flags::none);
    }
  } catch (const zmq::error_t& e) {
    if (e.num() != ETERM) {
      LOG(FATAL) << "Driver information channel failed: " << e.what();
    }
  }
  return true;
}

void DriverInfoService::Stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (channel_) channel_->Shutdown();
}

}  // namespace vostek_kestu
