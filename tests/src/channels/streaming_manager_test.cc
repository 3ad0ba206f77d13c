#include "src/channels/streaming_manager.h"

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "src/channels/driver_info_service.h"
#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_face.h"
#include "src/drivers/driver_vehicle.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PortBlock;
using kestu_tools::Endpoint;
using kestu_tools::Subscriber;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);

VisionResult ResultWithUuid(const std::string& uuid) {
  VisionResult result;
  result.set_uuid(uuid);
  result.mutable_result_image()->set_image(std::string(1000, 'j'));
  return result;
}

// Streams warm-up results until the viewer receives one, then drains: from
// then on the viewer's subscription is known to be in place.
void WaitForSubscription(StreamingManager& manager, Subscriber& viewer) {
  const bool was_enabled = manager.IsEnabled();
  manager.SetEnabled(true);
  ASSERT_TRUE(kestu_testing::PollUntil(
      [&] {
        manager.Send(ResultWithUuid("warm-up"));
        return viewer.Receive(milliseconds(20)).has_value();
      },
      kWait, milliseconds(0)));
  while (viewer.Receive(milliseconds(100))) {
  }
  manager.SetEnabled(was_enabled);
}

TEST(StreamingManagerTest, PublishesOnlyWhileEnabled) {
  const int port = PortBlock(15);
  auto manager = std::make_shared<StreamingManager>();
  ASSERT_TRUE(manager->Init(port, "127.0.0.1"));
  zmq::context_t context(1);
  Subscriber viewer(context, Endpoint("127.0.0.1", port), kWait);
  ASSERT_TRUE(viewer.connected());
  EXPECT_FALSE(manager->IsEnabled());
  ASSERT_NO_FATAL_FAILURE(WaitForSubscription(*manager, viewer));

  manager->Send(ResultWithUuid("disabled"));
  EXPECT_FALSE(viewer.Receive(milliseconds(200)).has_value());

  manager->SetEnabled(true);
  manager->Send(ResultWithUuid("one"));
  auto bytes = viewer.Receive(kWait);
  ASSERT_TRUE(bytes.has_value());
  VisionResult received;
  ASSERT_TRUE(received.ParseFromString(*bytes));
  EXPECT_EQ(received.uuid(), "one");
  EXPECT_EQ(received.result_image().image().size(), 1000u);

  manager->SetEnabled(false);
  manager->Send(ResultWithUuid("after stop"));
  EXPECT_FALSE(viewer.Receive(milliseconds(200)).has_value());

  // The do-nothing base never streams and cannot be opened.
  StreamingManagerBase base;
  EXPECT_FALSE(base.Init(port + 1, "127.0.0.1"));
  base.SetEnabled(true);
  EXPECT_FALSE(base.IsEnabled());
}

TEST(StreamingManagerTest, SendsFromSeveralThreadsArriveWhole) {
  const int port = PortBlock(16);
  StreamingManager manager;
  ASSERT_TRUE(manager.Init(port, "127.0.0.1"));
  manager.SetEnabled(true);
  zmq::context_t context(1);
  Subscriber viewer(context, Endpoint("127.0.0.1", port), kWait);
  ASSERT_TRUE(viewer.connected());
  ASSERT_NO_FATAL_FAILURE(WaitForSubscription(manager, viewer));

  // Three drivers' frame threads streaming at once. The high-water mark of
  // 20 may drop messages, but whatever arrives must be intact.
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&manager, t] {
      for (int i = 0; i < 200; ++i) {
        manager.Send(
            ResultWithUuid(std::to_string(t) + ":" + std::to_string(i)));
      }
    });
  }
  for (auto& s : senders) s.join();
  int received = 0;
  std::set<std::string> seen;
  while (auto bytes = viewer.Receive(milliseconds(300))) {
    VisionResult result;
    ASSERT_TRUE(result.ParseFromString(*bytes));
    EXPECT_TRUE(seen.insert(result.uuid()).second) << result.uuid();
    ++received;
  }
  EXPECT_GT(received, 0);
}

TEST(StreamingManagerTest, PortInUseIsReportedAsBindFailure) {
  const int port = PortBlock(17);
  StreamingManager first;
  ASSERT_TRUE(first.Init(port, "127.0.0.1"));
  EXPECT_FALSE(first.bind_failed());
  StreamingManager second;
  EXPECT_FALSE(second.Init(port, "127.0.0.1"));
  EXPECT_TRUE(second.bind_failed());
  second.SetEnabled(true);
  second.Send(ResultWithUuid("nowhere"));  // no channel: nothing happens
}

TEST(DriverInfoServiceTest, ListsDriversInRegistrationOrder) {
  const int base = PortBlock(18);
  Driver face{FaceDriver::Kind()};
  Driver vehicle{VehicleDriver::Kind()};
  Driver crowd{CrowdDriver::Kind()};
  ASSERT_TRUE(face.Init(base + 1, "127.0.0.1"));
  ASSERT_TRUE(vehicle.Init(base + 5, "127.0.0.1"));
  ASSERT_TRUE(crowd.Init(base + 9, "127.0.0.1"));
  DriverInfoService service(base, "127.0.0.1");
  service.Register(&face);
  service.Register(&vehicle);
  service.Register(&crowd);
  std::thread server([&] { EXPECT_TRUE(service.Run()); });

  zmq::context_t context(1);
  auto info = kestu_tools::QueryDriverInfo(context, "127.0.0.1", base, kWait);
  ASSERT_TRUE(info.has_value());
  ASSERT_EQ(info->info_size(), 3);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"Face Driver", "Face Driver"},
      {"VehicleDriver", "Vehicle Driver"},
      {"CrowdDriver", "Crowd Driver"}};
  for (int i = 0; i < 3; ++i) {
    const auto& d = info->info(i);
    EXPECT_EQ(d.driver_name(), names[i].first);
    EXPECT_EQ(d.notes_for_human(), names[i].second);
    EXPECT_EQ(d.base_port(), base + 1 + 4 * i);
    EXPECT_TRUE(d.provides_updates());
    EXPECT_TRUE(d.needs_pings());
    EXPECT_EQ(d.delay_between_updates(), 1000);
    EXPECT_EQ(d.timeout_after_last_ping(), 5000);
  }
  // A second request is answered as well (the reply is rebuilt each time).
  ASSERT_TRUE(kestu_tools::QueryDriverInfo(context, "127.0.0.1", base, kWait));
  service.Stop();
  server.join();
}

}  // namespace
}  // namespace vostek_kestu
