#include "src/channels/streaming_manager.h"

#include <glog/logging.h>

namespace vostek_kestu {

namespace {
constexpr int kSendHighWaterMark = 20;
// Viewers send only subscriptions.
constexpr int64_t kMaxIncomingMessageBytes = 64 << 10;
}  // namespace

StreamingManagerBase::~StreamingManagerBase() = default;
bool StreamingManagerBase::Init(uint32_t port, const std::string& host) {
  return false;
}
void StreamingManagerBase::Send(const VisionResult& result) {}
bool StreamingManagerBase::IsEnabled() const { return false; }
void StreamingManagerBase::SetEnabled(bool enabled) {}

StreamingManager::StreamingManager() = default;
StreamingManager::~StreamingManager() = default;

bool StreamingManager::Init(uint32_t port, const std::string& host) {
  channel_.reset();
  bind_failed_ = false;
  std::unique_ptr<SocketHolder> channel;
  try {
    channel = std::make_unique<SocketHolder>(zmq::socket_type::pub);
    channel->socket().set(zmq::sockopt::sndhwm, kSendHighWaterMark);
    channel->SetMaxMessageSize(kMaxIncomingMessageBytes);
  } catch (const zmq::error_t& e) {
    LOG(ERROR) << "Error creating streaming channel";
    return false;
  }
  if (!channel->Bind(MakeEndpoint("tcp", host, static_cast<int>(port)))) {
    bind_failed_ = true;
    return false;
  }
  channel_ = std::move(channel);
  return true;
}

void StreamingManager::Send(const VisionResult& result) {
  if (!enabled_ || !channel_) return;
  // A refused send ("try again") drops this frame; the next one goes out.
  channel_->Send(result.SerializeAsString());
}

bool StreamingManager::IsEnabled() const { return enabled_ != 0; }

void StreamingManager::SetEnabled(bool enabled) { enabled_ = enabled ? 1 : 0; }

}  // namespace vostek_kestu
