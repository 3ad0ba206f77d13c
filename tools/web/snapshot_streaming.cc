#include "tools/web/snapshot_streaming.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include <zmq.hpp>

#include "tools/driver_client.h"

namespace kestu_tools {
namespace {

namespace kestueye = ::talvenrook::kestu::v1::kestueye;

constexpr auto kExitCounts = std::chrono::minutes(1);
constexpr auto kRound = std::chrono::milliseconds(500);
constexpr Millis kPushTimeout(2000);

}  // namespace

StreamKeeper::StreamKeeper(std::vector<Target> targets,
                           std::chrono::milliseconds quiet,
                           std::chrono::milliseconds retry)
    : quiet_(quiet), retry_(retry) {
  const auto now = Clock::now();
  for (Target& target : targets) {
    Process p;
    p.last_frame = now;
    p.retry = retry;
    const std::string name = target.process;
    p.target = std::move(target);
    processes_[name] = std::move(p);
  }
}

StreamKeeper::~StreamKeeper() { Stop(); }

void StreamKeeper::Start() { thread_ = std::thread(&StreamKeeper::Run, this); }

void StreamKeeper::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StreamKeeper::OnDescribed(const std::string& process,
                               const std::string& driver,
                               const DriverInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = processes_.find(process);
  if (it == processes_.end()) return;
  const bool camera_down = info.has_camera() && info.camera().has_source() &&
                           !info.camera().connected();
  if (info.configured() && info.zone_size() > 0 && !camera_down) {
    it->second.configured.insert(driver);
  } else {
    it->second.configured.erase(driver);
  }
}

void StreamKeeper::OnExit(const std::string& process,
                          const std::string& driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = processes_.find(process);
  if (it != processes_.end()) it->second.exits[driver] = Clock::now();
}

void StreamKeeper::OnFrame(const std::string& process) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = processes_.find(process);
  if (it == processes_.end()) return;
  it->second.last_frame = Clock::now();
  it->second.retry = retry_;
}

int StreamKeeper::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string StreamKeeper::Counting(const Process& p,
                                   Clock::time_point now) const {
  // The crowd driver before the others: it is the one that counts people.
  for (auto key = DriverKeys().rbegin(); key != DriverKeys().rend(); ++key) {
    const auto exit = p.exits.find(*key);
    if (p.configured.count(*key) > 0 ||
        (exit != p.exits.end() && now - exit->second < kExitCounts)) {
      return *key;
    }
  }
  return "";
}

void StreamKeeper::Run() {
  zmq::context_t context(1);
  std::map<std::pair<std::string, std::string>, std::unique_ptr<DriverClient>>
      clients;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kRound);
    if (stopping_) break;
    const auto now = Clock::now();
    for (auto& [name, p] : processes_) {
      if (now - p.last_frame < quiet_ || now - p.last_request < p.retry) {
        continue;
      }
      const std::string driver = Counting(p, now);
      if (driver.empty()) continue;
      if (p.requests > 0) p.retry = std::min(p.retry * 2, kMaxRetry);
      p.last_request = now;
      const bool first = p.requests++ == 0;
      ++requests_;
      const Target target = p.target;
      lock.unlock();
      auto& client = clients[{name, driver}];
      if (!client) {
        client = std::make_unique<DriverClient>(
            context, target.host, target.bind_port + DriverPortOffset(driver));
      }
      DriverConfig request;
      request.set_uuid(NewUuid());
      request.mutable_kestu_eye_config()->set_action(kestueye::START_STREAMING);
      const bool sent = client->Push(request, kPushTimeout);
      if (first || !sent) {
        std::cerr << "kestu-web: " << (sent ? "asked" : "could not ask")
                  << " the " << driver << " driver of " << name
                  << " to stream: the snapshots of crossings are made of its "
                     "streamed frames"
                  << std::endl;
      }
      lock.lock();
    }
  }
}

}  // namespace kestu_tools
