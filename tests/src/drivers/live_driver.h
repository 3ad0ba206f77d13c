// LiveDriver: a driver of the process on its own ports, in the test's
// process, with a client that keeps pinging it and subscribers on its
// status and data channels (real sockets on 127.0.0.1).
#ifndef TESTS_SRC_DRIVERS_LIVE_DRIVER_H_
#define TESTS_SRC_DRIVERS_LIVE_DRIVER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/driver/driver.h"
#include "src/flags.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {

namespace live_driver_internal {
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_tools::DriverClient;
using kestu_tools::ReceiveStatus;
using kestu_tools::Status;
using kestu_tools::Subscriber;
using kestu_tools::VisionResult;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr milliseconds kWait(20000);

inline void SkipSettling(milliseconds duration) {
  if (duration < seconds(1)) std::this_thread::sleep_for(duration);
}

// A driver of the given kind on its own ports, with a client that keeps
// pinging it and subscribers on its status and data channels.
class LiveDriver {
 public:
  LiveDriver(const DriverKind& kind, int port_index)
      : base_(PortBlock(port_index)) {
    FLAGS_testing_mode = false;
    FLAGS_record_detections_file = "";
    driver_ = std::make_unique<Driver>(kind);
    driver_->SetSourceSleepFunction(SkipSettling);
    EXPECT_TRUE(driver_->Init(base_, "127.0.0.1"));
    client_ = std::make_unique<DriverClient>(context_, "127.0.0.1", base_);
    status_ = std::make_unique<Subscriber>(context_, client_->StatusEndpoint(),
                                           kWait);
    data_ =
        std::make_unique<Subscriber>(context_, client_->DataEndpoint(), kWait);
    // Bytes that never parse get an error status: once one arrives, the
    // status subscription is in place.
    EXPECT_TRUE(PollUntil(
        [&] {
          client_->Push(std::string("\xff", 1), kWait);
          return ReceiveStatus(*status_, milliseconds(50)).has_value();
        },
        kWait));
    pinger_ = std::thread([this] {
      DriverClient pinger(context_, "127.0.0.1", base_);
      while (!stop_) {
        pings_answered_ += pinger.Ping(milliseconds(2000)) ? 1 : 0;
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
  }

  ~LiveDriver() {
    stop_ = true;
    pinger_.join();
    driver_.reset();
  }

  void Send(const DriverConfig& config) {
    ASSERT_TRUE(client_->Push(config, kWait));
  }

  // The first status of the type for the uuid; others are skipped, and so
  // are the library's forwarded lines ("ERROR: ", "WARNING: ").
  std::optional<Status> WaitStatus(Status::MessageType type,
                                   const std::string& uuid,
                                   milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto status = ReceiveStatus(*status_, milliseconds(100));
      if (status && status->type() == type &&
          (uuid.empty() || status->uuid() == uuid) && !IsLibraryLine(*status))
        return status;
    }
    return std::nullopt;
  }

  // Published results until the source runs out ("No more frames").
  std::vector<VisionResult> ResultsUntilStopped(milliseconds timeout) {
    std::vector<VisionResult> results;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool stopped = false;
    while (!stopped && std::chrono::steady_clock::now() < deadline) {
      DrainData(milliseconds(50), &results);
      auto status = ReceiveStatus(*status_, milliseconds(1));
      stopped = status && status->type() == Status::STOPPED;
    }
    EXPECT_TRUE(stopped) << "the clip did not end in time";
    DrainData(milliseconds(300), &results);
    return results;
  }

  int pings_answered() const { return pings_answered_; }

  static bool IsLibraryLine(const Status& status) {
    return status.message().rfind("ERROR: ", 0) == 0 ||
           status.message().rfind("WARNING: ", 0) == 0;
  }

  // Every status of the uuid until one of the type arrives (included), or
  // all that came before the time-out. Forwarded library lines ("ERROR: ",
  // "WARNING: ") are kept but end nothing.
  std::vector<Status> StatusesUntil(Status::MessageType type,
                                    const std::string& uuid,
                                    milliseconds timeout = kWait) {
    std::vector<Status> seen;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto status = ReceiveStatus(*status_, milliseconds(100));
      if (!status || status->uuid() != uuid) continue;
      seen.push_back(*status);
      if (status->type() == type && !IsLibraryLine(*status)) break;
    }
    return seen;
  }

  // Waits for `count` more published results; false when they did not come.
  bool ResultsFlow(int count, milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int received = 0;
    while (received < count && std::chrono::steady_clock::now() < deadline) {
      if (data_->Receive(milliseconds(100))) ++received;
    }
    return received == count;
  }

  bool Ping() { return client_->Ping(milliseconds(2000)); }
  Driver& driver() { return *driver_; }

 private:
  void DrainData(milliseconds wait, std::vector<VisionResult>* results) {
    while (auto bytes = data_->Receive(wait)) {
      VisionResult result;
      if (result.ParseFromString(*bytes)) results->push_back(result);
      wait = milliseconds(1);
    }
  }

  zmq::context_t context_{1};
  const int base_;
  std::unique_ptr<Driver> driver_;
  std::unique_ptr<DriverClient> client_;
  std::unique_ptr<Subscriber> status_;
  std::unique_ptr<Subscriber> data_;
  std::atomic<bool> stop_{false};
  std::atomic<int> pings_answered_{0};
  std::thread pinger_;
};

}  // namespace live_driver_internal

using live_driver_internal::LiveDriver;

}  // namespace vostek_kestu

#endif  // TESTS_SRC_DRIVERS_LIVE_DRIVER_H_
