#ifndef SRC_CHANNELS_SOCKET_HOLDER_H_
#define SRC_CHANNELS_SOCKET_HOLDER_H_

#include <cstdint>
#include <mutex>
#include <string>

#include <zmq.hpp>

namespace vostek_kestu {

// Owns one messaging context (one I/O thread, at most 1023 sockets) and one
// socket in it. Destruction closes the socket, then terminates the context.
// Only peers that speak the current protocol version (ZMTP 3) are taken:
// bytes that are not a ZeroMQ greeting close their connection.
//
// Sends are serialised by a mutex so that several threads may publish on the
// same socket; receives are left to the one thread that owns the socket.
class SocketHolder {
 public:
  explicit SocketHolder(zmq::socket_type type);
  ~SocketHolder();

  SocketHolder(const SocketHolder&) = delete;
  SocketHolder& operator=(const SocketHolder&) = delete;

  // Binds the endpoint. On failure logs one ERROR naming the endpoint and the
  // reason, and returns false.
  bool Bind(const std::string& endpoint);

  // Sends the bytes as one frame without flags. False when the library
  // answers "try again", the context is being shut down, or the send fails
  // otherwise (logged as an ERROR): a failed send never ends the thread
  // that sends.
  bool Send(const std::string& bytes);

  // Sends the bytes as one frame without waiting: kFull when the library
  // answers "try again" (a socket that refuses rather than drops, with a
  // peer at its high-water mark), kFailed when the context is being shut
  // down or the send fails otherwise (logged as an ERROR).
  enum class SendResult { kSent, kFull, kFailed };
  SendResult TrySend(const std::string& bytes);

  // Incoming messages larger than this are refused by the library, which
  // drops the connection of the peer that sent them before allocating them.
  void SetMaxMessageSize(int64_t bytes);

  // Makes every blocking call on the socket return with ETERM, so that the
  // thread that owns it can leave. The socket stays open until destruction.
  void Shutdown();

  zmq::socket_t& socket() { return socket_; }

 private:
  zmq::context_t context_;
  zmq::socket_t socket_;
  std::mutex send_mutex_;  // guards sends on socket_
};

// "tcp" + "://" + "127.0.0.1" + ":" + "60001".
std::string MakeEndpoint(const std::string& transport, const std::string& host,
                         int port);

}  // namespace vostek_kestu

#endif  // SRC_CHANNELS_SOCKET_HOLDER_H_
