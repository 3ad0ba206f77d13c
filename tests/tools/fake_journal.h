// FakeJournal: the crowd driver's data port and the journal port of a
// kestu-vision process run with --state_dir, made of bare ZeroMQ sockets on
// a test's own ports. The test publishes numbered results (each kept in an
// in-memory journal, as the process writes it before sending); a thread
// answers JournalRequests on base + kJournalPortOffset from that journal:
// the results after the number asked for, at most a page, and the zone
// totals as of the newest; results aged out are a gap.
#ifndef TESTS_TOOLS_FAKE_JOURNAL_H_
#define TESTS_TOOLS_FAKE_JOURNAL_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "talvenrook/kestu/v1/journal.pb.h"
#include "tools/driver_client.h"

namespace kestu_tools {

namespace journal_v1 = ::talvenrook::kestu::v1::journal;
namespace vision_v1 = ::talvenrook::vision::v1;

// An event of a published result: a ZONE_EXIT of a zone in a direction, or
// (direction NOT_DEFINED) a ZONE_ENTER, which counts nothing.
struct FakeEvent {
  std::string zone;
  vision_v1::ZoneDirection direction = vision_v1::FORWARD;
};

class FakeJournal {
 public:
  static constexpr char kDriver[] = "crowd";
  static constexpr uint32_t kPage = 50;

  explicit FakeJournal(int base, std::string journal_id = "fake-journal-1")
      : journal_id_(std::move(journal_id)),
        data_(context_, zmq::socket_type::pub),
        journal_(context_, zmq::socket_type::rep) {
    data_.set(zmq::sockopt::linger, 0);
    data_.bind(Endpoint("127.0.0.1", base + DriverPortOffset(kDriver) + 3));
    journal_.set(zmq::sockopt::linger, 0);
    journal_.bind(Endpoint("127.0.0.1", base + kJournalPortOffset));
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeJournal() {
    stop_ = true;
    thread_.join();
  }
  FakeJournal(const FakeJournal&) = delete;
  FakeJournal& operator=(const FakeJournal&) = delete;

  // Journals the next result with these events and sends it on the data
  // port; returns its number. From the test's thread only.
  uint64_t Publish(const std::vector<FakeEvent>& events = {}) {
    vision_v1::VisionResult result;
    for (const FakeEvent& e : events) {
      auto* event = result.add_vision_event();
      event->set_zone_name(e.zone);
      event->set_zone_direction(e.direction);
      event->set_tag(e.direction == vision_v1::ZONE_DIRECTION_NOT_DEFINED
                         ? vision_v1::ZONE_ENTER
                         : vision_v1::ZONE_EXIT);
      event->set_tracking_id(7);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result.set_sequence(results_.size() + 1);
      result.set_uuid("result-" + std::to_string(result.sequence()));
      results_.push_back(result);
    }
    const std::string bytes = result.SerializeAsString();
    data_.send(zmq::buffer(bytes), zmq::send_flags::none);
    return result.sequence();
  }
  // The journal no longer holds results 1..up_to (its totals still count
  // them).
  void AgeOut(uint64_t up_to) {
    std::lock_guard<std::mutex> lock(mutex_);
    first_held_ = up_to + 1;
  }
  uint64_t last_sequence() {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_.size();
  }
  int requests() const { return requests_; }

 private:
  void Serve() {
    while (!stop_) {
      zmq::pollitem_t item{journal_.handle(), 0, ZMQ_POLLIN, 0};
      zmq::poll(&item, 1, std::chrono::milliseconds(20));
      zmq::message_t message;
      if (!(item.revents & ZMQ_POLLIN) ||
          !journal_.recv(message, zmq::recv_flags::dontwait)) {
        continue;
      }
      journal_v1::JournalRequest request;
      request.ParseFromArray(message.data(), static_cast<int>(message.size()));
      const std::string bytes = Answer(request).SerializeAsString();
      journal_.send(zmq::buffer(bytes), zmq::send_flags::none);
      ++requests_;
    }
  }

  journal_v1::JournalReply Answer(const journal_v1::JournalRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_v1::JournalReply reply;
    if (request.driver() != kDriver) {
      reply.set_error("no journal for driver " + request.driver());
      return reply;
    }
    reply.set_journal_id(journal_id_);
    reply.set_first_sequence(first_held_ > results_.size() ? 0 : first_held_);
    reply.set_last_sequence(results_.size());
    uint64_t from = request.after_sequence() + 1;
    if (!request.position_only() && from < first_held_) {
      reply.set_gap_from(from);
      reply.set_gap_to(std::min<uint64_t>(first_held_ - 1, results_.size()));
      from = first_held_;
    }
    const uint32_t page = request.max_results() == 0
                              ? kPage
                              : std::min(request.max_results(), kPage);
    for (uint64_t s = from; !request.position_only() && s <= results_.size() &&
                            reply.result_size() < static_cast<int>(page);
         ++s) {
      *reply.add_result() = results_[s - 1];
    }
    // The totals as of the newest result.
    std::map<std::pair<std::string, int>, int64_t> totals;
    for (const auto& result : results_) {
      for (const auto& event : result.vision_event()) {
        if (event.tag() != vision_v1::ZONE_EXIT) continue;
        ++totals[{event.zone_name(), event.zone_direction()}];
      }
    }
    for (const auto& [key, count] : totals) {
      auto* total = reply.add_zone_total();
      total->set_zone_name(key.first);
      total->set_direction(static_cast<vision_v1::ZoneDirection>(key.second));
      total->set_count(count);
    }
    return reply;
  }

  const std::string journal_id_;
  zmq::context_t context_{1};
  zmq::socket_t data_;     // the test thread's
  zmq::socket_t journal_;  // the serving thread's
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;  // guards everything below
  std::vector<vision_v1::VisionResult> results_;
  uint64_t first_held_ = 1;
  std::thread thread_;  // last: started once the rest is there
};

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_FAKE_JOURNAL_H_
