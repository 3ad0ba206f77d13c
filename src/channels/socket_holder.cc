#include "src/channels/socket_holder.h"

#include <glog/logging.h>

namespace vostek_kestu {

namespace {
constexpr int kIoThreads = 1;
constexpr int kMaxSockets = 1023;
constexpr char kZapDomain[] = "kestu-vision";
}  // namespace

SocketHolder::SocketHolder(zmq::socket_type type)
    : context_(kIoThreads, kMaxSockets), socket_(context_, type) {
  // Pending messages are dropped at close, so shutting down never waits on
  // a peer that stopped reading.
  socket_.set(zmq::sockopt::linger, 0);
  // With a ZAP domain set, the library refuses peers that greet with the
  // legacy protocol versions (1.0, 2.0), whose framing would otherwise turn
  // any bytes sent to the port (a port scan, a stray client) into messages
  // and can leave a reply socket answering nobody else. Peers of the
  // current protocol are not affected; no ZAP handler is needed.
  socket_.set(zmq::sockopt::zap_domain, kZapDomain);
}

SocketHolder::~SocketHolder() {
  socket_.close();
  context_.close();
}

bool SocketHolder::Bind(const std::string& endpoint) {
  try {
    socket_.bind(endpoint);
    return true;
  } catch (const zmq::error_t& e) {
    LOG(ERROR) << "Could not bind " << endpoint << ": " << e.what();
    return false;
  }
}

bool SocketHolder::Send(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  try {
    zmq::message_t message(bytes.data(), bytes.size());
    return socket_.send(message, zmq::send_flags::none).has_value();
  } catch (const zmq::error_t& e) {
    if (e.num() != ETERM)
      LOG(ERROR) << "Could not send a message: " << e.what();
    return false;
  }
}

SocketHolder::SendResult SocketHolder::TrySend(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  try {
    zmq::message_t message(bytes.data(), bytes.size());
    return socket_.send(message, zmq::send_flags::dontwait).has_value()
               ? SendResult::kSent
               : SendResult::kFull;
  } catch (const zmq::error_t& e) {
    if (e.num() != ETERM)
      LOG(ERROR) << "Could not send a message: " << e.what();
    return SendResult::kFailed;
  }
}

void SocketHolder::SetMaxMessageSize(int64_t bytes) {
  socket_.set(zmq::sockopt::maxmsgsize, bytes);
}

void SocketHolder::Shutdown() { context_.shutdown(); }

std::string MakeEndpoint(const std::string& transport, const std::string& host,
                         int port) {
  return transport + "://" + host + ":" + std::to_string(port);
}

}  // namespace vostek_kestu
