// FakeProcess: a kestu-vision process made of bare ZeroMQ sockets on a
// test's own ports, for the camera tests of kestu-web and kestu-mqtt. Its
// driver-information service answers the camera states that the test sets
// (or none, as a driver that reports none), the test publishes statuses on
// the drivers' status ports, and while "frames flow" it reads a frame every
// 100 ms: the driver's last_frame_ms advances and a JPEG goes out on the
// streaming port, as a driver with its camera and streaming on does.
#ifndef TESTS_TOOLS_FAKE_PROCESS_H_
#define TESTS_TOOLS_FAKE_PROCESS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <zmq.hpp>

#include "tools/driver_client.h"
#include "tools/web/camera_health.h"

namespace kestu_tools {

using CameraState = ::talvenrook::kestu::v1::driver::CameraState;
using ZoneInfo = ::talvenrook::kestu::v1::driver::ZoneInfo;

// A camera with a source: connected or not since `since_ms`, its last frame
// read at `last_frame_ms`.
inline CameraState Camera(bool connected, int64_t since_ms,
                          int64_t last_frame_ms = 0) {
  CameraState camera;
  camera.set_has_source(true);
  camera.set_connected(connected);
  camera.set_since_ms(since_ms);
  camera.set_last_frame_ms(last_frame_ms);
  return camera;
}

class FakeProcess {
 public:
  // Driver information on `base`, the drivers' status ports at their
  // offsets, streaming on `streaming_port`.
  FakeProcess(int base, int streaming_port)
      : base_(base),
        info_(context_, zmq::socket_type::rep),
        streaming_(context_, zmq::socket_type::pub) {
    info_.set(zmq::sockopt::linger, 0);
    info_.bind(Endpoint("127.0.0.1", base));
    streaming_.set(zmq::sockopt::linger, 0);
    streaming_.bind(Endpoint("127.0.0.1", streaming_port));
    for (const std::string& key : DriverKeys()) {
      auto& socket =
          statuses_
              .emplace(std::piecewise_construct, std::forward_as_tuple(key),
                       std::forward_as_tuple(context_, zmq::socket_type::pub))
              .first->second;
      socket.set(zmq::sockopt::linger, 0);
      socket.bind(Endpoint("127.0.0.1", base + DriverPortOffset(key) + 2));
    }
    std::vector<uint8_t> jpeg;
    cv::imencode(".jpg", cv::Mat(48, 64, CV_8UC3, cv::Scalar(40, 90, 160)),
                 jpeg);
    jpeg_.assign(jpeg.begin(), jpeg.end());
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeProcess() {
    stop_ = true;
    thread_.join();
  }
  FakeProcess(const FakeProcess&) = delete;
  FakeProcess& operator=(const FakeProcess&) = delete;

  // What the driver's information says of its camera; nothing: no camera
  // state at all.
  void SetCamera(const std::string& driver,
                 const std::optional<CameraState>& camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    cameras_[driver] = camera;
  }
  std::optional<CameraState> camera(const std::string& driver) {
    std::lock_guard<std::mutex> lock(mutex_);
    return cameras_[driver];
  }
  // The statuses the driver's information says it could not send.
  void SetDroppedStatuses(const std::string& driver, int64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped_statuses_[driver] = count;
  }
  // Whether the driver's information says it holds a configuration, and
  // the counting lines it names.
  void SetConfigured(const std::string& driver, bool configured,
                     const std::vector<ZoneInfo>& zones = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    configured_[driver] = configured;
    zones_[driver] = zones;
  }
  // From now on the driver reads a frame every 100 ms and streams it, or
  // reads none.
  void Flow(const std::string& driver, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    flowing_ = on ? driver : "";
  }
  // The Unix time in ms of the last frame read (0: none yet).
  int64_t last_frame_ms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_frame_ms_;
  }
  // Publishes a status on the driver's status port. Called from the test's
  // thread only.
  void SendStatus(const std::string& driver, Status::MessageType type) {
    Status status;
    status.set_type(type);
    const std::string bytes = status.SerializeAsString();
    statuses_.at(driver).send(zmq::buffer(bytes), zmq::send_flags::none);
  }
  // Driver-information queries answered so far.
  int queries() const { return queries_; }

 private:
  void Run() {
    auto next_frame = std::chrono::steady_clock::now();
    while (!stop_) {
      zmq::pollitem_t item{info_.handle(), 0, ZMQ_POLLIN, 0};
      zmq::poll(&item, 1, std::chrono::milliseconds(20));
      zmq::message_t request;
      if ((item.revents & ZMQ_POLLIN) &&
          info_.recv(request, zmq::recv_flags::dontwait)) {
        const std::string bytes = Info().SerializeAsString();
        info_.send(zmq::buffer(bytes), zmq::send_flags::none);
        ++queries_;
      }
      if (std::chrono::steady_clock::now() >= next_frame) {
        next_frame += std::chrono::milliseconds(100);
        ReadFrame();
      }
    }
  }

  KestuDriverInfo Info() {
    std::lock_guard<std::mutex> lock(mutex_);
    KestuDriverInfo info;
    for (const std::string& key : DriverKeys()) {
      auto* driver = info.add_info();
      driver->set_driver_name(key + "-fake");
      driver->set_base_port(base_ + DriverPortOffset(key));
      if (cameras_[key]) *driver->mutable_camera() = *cameras_[key];
      driver->set_dropped_statuses(dropped_statuses_[key]);
      driver->set_configured(configured_[key]);
      for (const ZoneInfo& zone : zones_[key]) *driver->add_zone() = zone;
    }
    return info;
  }

  void ReadFrame() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (flowing_.empty()) return;
      last_frame_ms_ = NowMillis();
      auto& camera = cameras_[flowing_];
      if (camera) camera->set_last_frame_ms(last_frame_ms_);
    }
    VisionResult result;
    result.mutable_result_image()->set_image(jpeg_);
    const std::string bytes = result.SerializeAsString();
    streaming_.send(zmq::buffer(bytes), zmq::send_flags::dontwait);
  }

  const int base_;
  zmq::context_t context_{1};
  zmq::socket_t info_;                             // the answering thread's
  zmq::socket_t streaming_;                        // the answering thread's
  std::map<std::string, zmq::socket_t> statuses_;  // the test thread's
  std::string jpeg_;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::mutex mutex_;  // guards everything below
  std::map<std::string, std::optional<CameraState>> cameras_;
  std::map<std::string, int64_t> dropped_statuses_;
  std::map<std::string, bool> configured_;
  std::map<std::string, std::vector<ZoneInfo>> zones_;
  std::string flowing_;  // the driver whose frames flow, or empty
  int64_t last_frame_ms_ = 0;
  std::thread thread_;  // last: started once the rest is there
};

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_FAKE_PROCESS_H_
