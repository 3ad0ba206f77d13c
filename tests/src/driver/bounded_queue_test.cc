// The bounded hand-over queue of the asynchronous mode: its waits are on a
// condition variable, so a waiting producer or consumer goes on as soon as
// the other side acts, and Close ends both at once.
#include "src/driver/bounded_queue.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PollUntil;
using std::chrono::milliseconds;

// Fills a queue of `capacity` and starts a producer that waits for room
// for one more item.
class WaitingProducer {
 public:
  explicit WaitingProducer(BoundedQueue<int>* queue) : queue_(queue) {
    thread_ = std::thread([this] {
      room_ = queue_->WaitForRoom();
      if (room_) queue_->Push(99);
      done_ = true;
    });
  }
  ~WaitingProducer() { thread_.join(); }
  bool done() const { return done_; }
  bool room() const { return room_; }

 private:
  BoundedQueue<int>* queue_;
  std::atomic<bool> room_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct RoomCase {
  const char* name;
  size_t capacity;
  // What makes room: a pop, or a larger capacity.
  bool by_pop;
};

class RoomTest : public ::testing::TestWithParam<RoomCase> {};

TEST_P(RoomTest, AFullQueueHoldsItsProducerUntilThereIsRoom) {
  const RoomCase& c = GetParam();
  BoundedQueue<int> queue(c.capacity);
  const size_t held = queue.capacity();  // a capacity of 0 holds 1
  for (size_t i = 0; i < held; ++i) {
    ASSERT_TRUE(queue.WaitForRoom());
    queue.Push(static_cast<int>(i));
  }
  WaitingProducer producer(&queue);
  EXPECT_FALSE(PollUntil([&] { return producer.done(); }, milliseconds(50)));
  if (c.by_pop) {
    EXPECT_EQ(*queue.Pop(), 0);
  } else {
    queue.set_capacity(held + 1);
  }
  ASSERT_TRUE(PollUntil([&] { return producer.done(); }, milliseconds(5000)));
  EXPECT_TRUE(producer.room());
  EXPECT_EQ(queue.size(), held + (c.by_pop ? 0u : 1u));
}

INSTANTIATE_TEST_SUITE_P(Queues, RoomTest,
                         ::testing::Values(RoomCase{"OnePopped", 2, true},
                                           RoomCase{"CapacityRaised", 2, false},
                                           RoomCase{"CapacityZeroHoldsOne", 0,
                                                    true}),
                         [](const ::testing::TestParamInfo<RoomCase>& info) {
                           return info.param.name;
                         });

TEST(BoundedQueueTest, ItemsComeOutInOrderToAConsumerThatWaited) {
  BoundedQueue<int> queue(3);
  std::vector<int> popped;
  std::thread consumer([&] {
    for (int i = 0; i < 3; ++i) popped.push_back(*queue.Pop());
  });
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(queue.WaitForRoom());
    queue.Push(i);
  }
  consumer.join();
  EXPECT_EQ(popped, (std::vector<int>{1, 2, 3}));
}

TEST(BoundedQueueTest, CloseEndsBothWaitsAndOpenStartsAgain) {
  BoundedQueue<int> queue(1);
  std::atomic<bool> consumer_done{false};
  std::thread consumer([&] {
    EXPECT_FALSE(queue.Pop().has_value());
    consumer_done = true;
  });
  EXPECT_FALSE(
      PollUntil([&] { return consumer_done.load(); }, milliseconds(50)));
  queue.Close();
  consumer.join();

  // Closed: a full queue gives its producer no room, and items stay.
  queue.Open();
  queue.Push(1);
  WaitingProducer producer(&queue);
  EXPECT_FALSE(PollUntil([&] { return producer.done(); }, milliseconds(50)));
  queue.Close();
  ASSERT_TRUE(PollUntil([&] { return producer.done(); }, milliseconds(5000)));
  EXPECT_FALSE(producer.room());
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.Clear().size(), 1u);
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace vostek_kestu
