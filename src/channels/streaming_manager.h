#ifndef SRC_CHANNELS_STREAMING_MANAGER_H_
#define SRC_CHANNELS_STREAMING_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "src/channels/socket_holder.h"
#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

using VisionResult = ::talvenrook::vision::v1::VisionResult;

// The preview streaming channel as a driver sees it. This base does nothing:
// a driver that was never given the process's channel streams nothing.
class StreamingManagerBase {
 public:
  virtual ~StreamingManagerBase();
  virtual bool Init(uint32_t port, const std::string& host);
  virtual void Send(const VisionResult& result);
  virtual bool IsEnabled() const;
  virtual void SetEnabled(bool enabled);
};

// One PUB socket (send high-water mark 20) shared by all drivers. While
// enabled, every processed result (with its preview JPEG) is published on it
// as one binary frame. Sends from several drivers' threads are serialised.
class StreamingManager : public StreamingManagerBase {
 public:
  StreamingManager();
  ~StreamingManager() override;

  // Opens the channel on "tcp://" + host + ":" + port, replacing any earlier
  // one. False, with an ERROR line, when it cannot be created or bound.
  bool Init(uint32_t port, const std::string& host) override;
  void Send(const VisionResult& result) override;
  bool IsEnabled() const override;
  void SetEnabled(bool enabled) override;

  // True when the last Init failed because the port could not be bound
  // (another process holds it): start-up ends the process then.
  bool bind_failed() const { return bind_failed_; }

 private:
  bool bind_failed_ = false;
  std::unique_ptr<SocketHolder> channel_;
  std::atomic<int> enabled_{0};
};

}  // namespace vostek_kestu

#endif  // SRC_CHANNELS_STREAMING_MANAGER_H_
