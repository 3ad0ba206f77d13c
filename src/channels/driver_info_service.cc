#include "src/channels/driver_info_service.h"

#include <chrono>
#include <thread>
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
  channel->SetMaxMessageSize(KestuBase::kMaxSmallMessageBytes);
  if (!channel->Bind(MakeEndpoint("tcp", host_, static_cast<int>(port_)))) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channel_ = channel;
    // A Stop that came before the channel existed still ends Run.
    if (stop_) return true;
  }
  zmq::socket_t& socket = channel->socket();
  while (!stop_) {
    try {
      zmq::message_t request;
      // The request's content is ignored; read every part of it so that the
      // reply may be sent.
      do {
        (void)socket.recv(request, zmq::recv_flags::none);
      } while (request.more());
      const std::string reply = BuildInfo().SerializeAsString();
      (void)socket.send(zmq::buffer(reply), zmq::send_flags::none);
    } catch (const zmq::error_t& e) {
      if (e.num() == ETERM || stop_) break;
      if (e.num() == EINTR) continue;  // a signal landed on this thread
      // A failed request never ends the service.
      LOG(ERROR) << "Driver information channel failed: " << e.what();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
