#include "tools/driver_client.h"

#include <cstdio>

#include "src/common/uuid.h"
#include "src/drivers/driver_names.h"

namespace kestu_tools {

int DriverPortOffset(const std::string& driver) {
  const vostek_kestu::DriverName* name = vostek_kestu::FindDriverName(driver);
  return name != nullptr ? name->port_offset : 0;
}

const std::vector<std::string>& DriverKeys() {
  static const std::vector<std::string>* keys = [] {
    auto* all = new std::vector<std::string>();
    for (const auto& name : vostek_kestu::DriverNames())
      all->push_back(name.key);
    return all;
  }();
  return *keys;
}

std::string Endpoint(const std::string& host, int port) {
  return "tcp://" + host + ":" + std::to_string(port);
}

std::optional<KestuDriverInfo> QueryDriverInfo(zmq::context_t& context,
                                               const std::string& host,
                                               int port, Millis timeout) {
  zmq::socket_t socket(context, zmq::socket_type::req);
  socket.set(zmq::sockopt::linger, 0);
  socket.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
  socket.connect(Endpoint(host, port));
  socket.send(zmq::str_buffer("info"), zmq::send_flags::none);
  zmq::message_t reply;
  if (!socket.recv(reply, zmq::recv_flags::none)) return std::nullopt;
  KestuDriverInfo info;
  if (!info.ParseFromArray(reply.data(), static_cast<int>(reply.size()))) {
    return std::nullopt;
  }
  return info;
}

Subscriber::Subscriber(zmq::context_t& context, const std::string& endpoint,
                       Millis connect_timeout)
    : socket_(context, zmq::socket_type::sub) {
  socket_.set(zmq::sockopt::linger, 0);
  socket_.set(zmq::sockopt::subscribe, "");
  // Watch the handshake through a monitor socket, so callers know when
  // publications start reaching this subscriber.
  static int monitor_count = 0;
  char monitor_endpoint[64];
  std::snprintf(monitor_endpoint, sizeof(monitor_endpoint),
                "inproc://kestu-monitor-%p-%d", static_cast<void*>(this),
                monitor_count++);
  zmq_socket_monitor(socket_.handle(), monitor_endpoint,
                     ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
  zmq::socket_t monitor(context, zmq::socket_type::pair);
  monitor.set(zmq::sockopt::linger, 0);
  monitor.connect(monitor_endpoint);
  socket_.connect(endpoint);
  monitor.set(zmq::sockopt::rcvtimeo,
              static_cast<int>(connect_timeout.count()));
  zmq::message_t event;
  if (monitor.recv(event, zmq::recv_flags::none)) {
    connected_ = true;
    zmq::message_t address;
    (void)monitor.recv(address, zmq::recv_flags::dontwait);
  }
  zmq_socket_monitor(socket_.handle(), nullptr, 0);
}

std::optional<std::string> Subscriber::Receive(Millis timeout) {
  zmq::pollitem_t items[] = {{socket_.handle(), 0, ZMQ_POLLIN, 0}};
  zmq::poll(items, 1, timeout);
  if (!(items[0].revents & ZMQ_POLLIN)) return std::nullopt;
  zmq::message_t message;
  if (!socket_.recv(message, zmq::recv_flags::dontwait)) return std::nullopt;
  return message.to_string();
}

DriverClient::DriverClient(zmq::context_t& context, const std::string& host,
                           int base_port)
    : context_(context),
      host_(host),
      base_port_(base_port),
      push_(context, zmq::socket_type::push) {
  push_.set(zmq::sockopt::linger, 1000);
  push_.connect(Endpoint(host_, base_port_));
  ResetPingSocket();
}

void DriverClient::ResetPingSocket() {
  ping_ = std::make_unique<zmq::socket_t>(context_, zmq::socket_type::req);
  ping_->set(zmq::sockopt::linger, 0);
  ping_->connect(Endpoint(host_, base_port_ + 1));
}

bool DriverClient::Ping(Millis timeout) {
  ping_->send(zmq::str_buffer("ping"), zmq::send_flags::none);
  zmq::pollitem_t items[] = {{ping_->handle(), 0, ZMQ_POLLIN, 0}};
  zmq::poll(items, 1, timeout);
  zmq::message_t reply;
  if ((items[0].revents & ZMQ_POLLIN) &&
      ping_->recv(reply, zmq::recv_flags::dontwait)) {
    return true;
  }
  ResetPingSocket();
  return false;
}

bool DriverClient::Push(const std::string& bytes, Millis timeout) {
  zmq::pollitem_t items[] = {{push_.handle(), 0, ZMQ_POLLOUT, 0}};
  zmq::poll(items, 1, timeout);
  if (!(items[0].revents & ZMQ_POLLOUT)) return false;
  return push_.send(zmq::buffer(bytes), zmq::send_flags::dontwait).has_value();
}

std::string DriverClient::StatusEndpoint() const {
  return Endpoint(host_, base_port_ + 2);
}

std::string DriverClient::DataEndpoint() const {
  return Endpoint(host_, base_port_ + 3);
}

std::optional<Status> ReceiveStatus(Subscriber& subscriber, Millis timeout) {
  auto bytes = subscriber.Receive(timeout);
  if (!bytes) return std::nullopt;
  Status status;
  if (!status.ParseFromString(*bytes)) return std::nullopt;
  return status;
}

std::string NewUuid() { return vostek_kestu::GenerateUuid(); }

}  // namespace kestu_tools
