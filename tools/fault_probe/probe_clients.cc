#include "tools/fault_probe/probe_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace kestu_tools {

namespace {
using Clock = std::chrono::steady_clock;
constexpr char kOwnPrefix[] = "probe-";
constexpr size_t kOversized = 100 << 10;  // above the 64 KiB ping limit
}  // namespace

Pinger::Pinger(zmq::context_t& context, std::string host, int base_port,
               Millis timeout, Millis interval)
    : context_(context),
      host_(std::move(host)),
      base_port_(base_port),
      timeout_(timeout),
      interval_(interval),
      thread_(&Pinger::Run, this) {}

Pinger::~Pinger() {
  stop_ = true;
  thread_.join();
}

void Pinger::Run() {
  DriverClient client(context_, host_, base_port_);
  while (!stop_) {
    const auto start = Clock::now();
    const bool answered = client.Ping(timeout_);
    const double ms =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.pings;
      if (answered) {
        consecutive_ = 0;
        stats_.latencies_ms.push_back(ms);
      } else {
        ++stats_.failures;
        stats_.failure_times_s.push_back(
            std::chrono::duration<double>(start - started_).count());
        stats_.max_consecutive_failures =
            std::max(stats_.max_consecutive_failures, ++consecutive_);
      }
    }
    std::this_thread::sleep_for(interval_);
  }
}

Pinger::Stats Pinger::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  Stats taken = stats_;
  stats_.latencies_ms.clear();
  return taken;
}

StatusWatcher::StatusWatcher(zmq::context_t& context,
                             const std::vector<std::string>& endpoints)
    : context_(context), endpoints_(endpoints) {
  thread_ = std::thread(&StatusWatcher::Run, this);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!connected_ && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

StatusWatcher::~StatusWatcher() {
  stop_ = true;
  thread_.join();
}

void StatusWatcher::Run() {
  std::vector<std::unique_ptr<Subscriber>> subscribers;
  for (const std::string& endpoint : endpoints_) {
    subscribers.push_back(
        std::make_unique<Subscriber>(context_, endpoint, Millis(5000)));
  }
  connected_ = true;
  std::vector<zmq::pollitem_t> items;
  for (auto& subscriber : subscribers) {
    items.push_back({subscriber->socket().handle(), 0, ZMQ_POLLIN, 0});
  }
  while (!stop_) {
    zmq::poll(items.data(), items.size(), Millis(100));
    for (size_t i = 0; i < items.size(); ++i) {
      if (!(items[i].revents & ZMQ_POLLIN)) continue;
      zmq::message_t message;
      while (
          subscribers[i]->socket().recv(message, zmq::recv_flags::dontwait)) {
        Status status;
        if (!status.ParseFromArray(message.data(),
                                   static_cast<int>(message.size()))) {
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[Status::MessageType_Name(status.type())];
        if (status.message() == "Configuration queue is full") ++queue_full_;
        if (status.uuid().rfind(kOwnPrefix, 0) == 0) {
          own_.push_back(status);
          changed_.notify_all();
        }
      }
    }
  }
}

std::optional<Status> StatusWatcher::WaitFor(Status::MessageType type,
                                             const std::string& uuid,
                                             Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<Status> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const Status& status : own_) {
      if (status.type() == type && status.uuid() == uuid) {
        found = status;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<std::vector<Status>> StatusWatcher::WaitUntil(
    const std::string& uuid,
    const std::function<bool(const std::vector<Status>&)>& done,
    Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<Status> of_uuid;
  const bool met = changed_.wait_for(lock, timeout, [&] {
    of_uuid.clear();
    for (const Status& status : own_) {
      if (status.uuid() == uuid) of_uuid.push_back(status);
    }
    return !of_uuid.empty() && done(of_uuid);
  });
  if (!met) return std::nullopt;
  return of_uuid;
}

bool StatusWatcher::Refused(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Status& status : own_) {
    if (status.uuid() == uuid && status.type() == Status::STATUS_ERROR &&
        status.message() == "Configuration queue is full") {
      return true;
    }
  }
  return false;
}

void StatusWatcher::Forget(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  own_.erase(std::remove_if(own_.begin(), own_.end(),
                            [&](const Status& s) { return s.uuid() == uuid; }),
             own_.end());
}

std::map<std::string, int64_t> StatusWatcher::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

int64_t StatusWatcher::QueueFullCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_full_;
}

GarbageSender::GarbageSender(zmq::context_t& context, std::string host,
                             uint32_t seed)
    : context_(context), host_(std::move(host)), rng_(seed) {}

std::string GarbageSender::ToReplyPort(int port) {
  auto random_bytes = [&](size_t max) {
    std::string bytes(rng_() % (max + 1), '\0');
    for (char& c : bytes) c = static_cast<char>(rng_());
    return bytes;
  };
  switch (rng_() % 4) {
    case 0:
      RawBytes(port);
      return "raw-bytes";
    case 1: {
      // A request of several parts behind a proper envelope.
      zmq::socket_t dealer(context_, zmq::socket_type::dealer);
      dealer.set(zmq::sockopt::linger, 0);
      dealer.connect(Endpoint(host_, port));
      dealer.send(zmq::message_t(), zmq::send_flags::sndmore);
      const int parts = 2 + rng_() % 4;
      for (int i = 0; i < parts; ++i) {
        dealer.send(
            zmq::buffer(random_bytes(64)),
            i + 1 < parts ? zmq::send_flags::sndmore : zmq::send_flags::none);
      }
      zmq::message_t reply;
      dealer.set(zmq::sockopt::rcvtimeo, 200);
      (void)dealer.recv(reply, zmq::recv_flags::none);
      return "multi-part";
    }
    case 2: {
      // Frames without the envelope a REP socket expects.
      zmq::socket_t dealer(context_, zmq::socket_type::dealer);
      dealer.set(zmq::sockopt::linger, 0);
      dealer.connect(Endpoint(host_, port));
      dealer.send(zmq::buffer(random_bytes(32)), zmq::send_flags::sndmore);
      dealer.send(zmq::buffer(random_bytes(32)), zmq::send_flags::none);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return "no-envelope";
    }
    default: {
      zmq::socket_t request(context_, zmq::socket_type::req);
      request.set(zmq::sockopt::linger, 0);
      request.connect(Endpoint(host_, port));
      request.send(zmq::buffer(std::string(kOversized, 'o')),
                   zmq::send_flags::none);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return "oversized";
    }
  }
}

void GarbageSender::RawBytes(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host_.c_str(), &address.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
      0) {
    std::string bytes(rng_() % 512, '\0');
    for (char& c : bytes) c = static_cast<char>(rng_());
    (void)!write(fd, bytes.data(), bytes.size());
  }
  close(fd);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(
      values.size() - 1,
      static_cast<size_t>(p / 100.0 * static_cast<double>(values.size())));
  return values[index];
}

}  // namespace kestu_tools
