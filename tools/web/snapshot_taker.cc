#include "tools/web/snapshot_taker.h"

#include <iostream>

#include "tools/web/snapshot_picture.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr auto kRound = std::chrono::milliseconds(100);
constexpr auto kLookupPause = std::chrono::milliseconds(250);
constexpr auto kEnforcePeriod = std::chrono::hours(1);
// An exit this much older than now has no frame left in the ring.
constexpr double kTooOld = 30.0;
constexpr size_t kRememberedIds = 5000;

}  // namespace

SnapshotTaker::SnapshotTaker(SnapshotFiles* files, const AuditStore* store,
                             ScaleOf scale, StreamKeeper* keeper,
                             Options options)
    : files_(files),
      store_(store),
      scale_(std::move(scale)),
      keeper_(keeper),
      options_(options) {}

SnapshotTaker::~SnapshotTaker() { Stop(); }

void SnapshotTaker::Start() {
  next_enforce_ = Clock::now() + kEnforcePeriod;
  thread_ = std::thread(&SnapshotTaker::Run, this);
}

void SnapshotTaker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SnapshotTaker::OnPublished(const std::string& process,
                                const std::string& driver,
                                const VisionResult& result) {
  const double now_wall = EpochSeconds();
  const auto now = Clock::now();
  std::vector<Pending> exits;
  for (int i = 0; i < result.vision_event_size(); ++i) {
    const v1::VisionEvent& event = result.vision_event(i);
    if (event.tag() != v1::ZONE_EXIT) continue;
    const bool timed = event.has_timestamp() && event.timestamp().seconds() > 0;
    const double time =
        timed ? event.timestamp().seconds() + event.timestamp().nanos() * 1e-9
              : now_wall;
    if (time < now_wall - kTooOld) continue;
    Pending p;
    p.process = process;
    p.driver = driver;
    p.exit = event;
    p.received = now;
    // As the history stores it (EventRows).
    p.key.process = process;
    p.key.driver = driver;
    p.key.zone = event.zone_name();
    p.key.direction = v1::ZoneDirection_Name(event.zone_direction());
    p.key.time = time;
    p.key.exact = timed;
    p.key.tracking_id = static_cast<int64_t>(
        event.tracking_id() != 0 || result.rect_detection_size() == 0
            ? event.tracking_id()
            : result.rect_detection(0).tracking_id());
    p.key.part = i;
    p.key.uuid = result.uuid();
    exits.push_back(std::move(p));
  }
  if (exits.empty()) return;
  if (keeper_ != nullptr) keeper_->OnExit(process, driver);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Pending& p : exits) {
      p.crossing = ring_.FindExact(process, p.exit);
      waiting_.push_back(std::move(p));
    }
  }
  wake_.notify_all();
}

void SnapshotTaker::OnStreamed(const std::string& process,
                               const VisionResult& result,
                               std::shared_ptr<const std::string> jpeg) {
  if (keeper_ != nullptr) keeper_->OnFrame(process);
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ring_.Add(process, result, std::move(jpeg), Clock::now());
    for (Pending& p : waiting_) {
      if (p.crossing || p.process != process) continue;
      for (const auto& event : result.vision_event()) {
        if (!SnapshotRing::SameExit(event, p.exit)) continue;
        p.crossing = ring_.FindExact(process, p.exit);
        found = found || p.crossing.has_value();
      }
    }
  }
  if (found) wake_.notify_all();
}

void SnapshotTaker::OnDescribed(const std::string& process,
                                const std::string& driver,
                                const DriverInfo& info) {
  if (keeper_ != nullptr) keeper_->OnDescribed(process, driver, info);
}

std::vector<SnapshotTaker::Pending> SnapshotTaker::TakeReady(
    Clock::time_point now, bool final) {
  std::vector<Pending> ready;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!it->crossing && (final || now - it->received >= options_.frame_wait)) {
      it->crossing = ring_.FindNearest(it->process, it->exit, it->received);
      if (!it->crossing) {
        ++counts_.without_frame;
        it = waiting_.erase(it);
        continue;
      }
    }
    if (it->crossing) {
      ready.push_back(std::move(*it));
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
  return ready;
}

void SnapshotTaker::Draw(Pending* p) {
  std::string error;
  const double scale = scale_ ? scale_(p->process, p->driver) : 1.0;
  if (!DrawCrossing(*p->crossing->jpeg, p->crossing->box, scale,
                    options_.max_width, &p->jpeg, &error)) {
    p->jpeg.clear();
    Fail("a crossing of the " + p->driver + " driver of " + p->process +
         " has no snapshot: " + error);
  }
}

void SnapshotTaker::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The first, then one in a hundred: a full disk fails them all.
  if (counts_.failed++ % 100 == 0) {
    std::cerr << "kestu-web: " << why << " (" << counts_.failed
              << " snapshots not kept so far)" << std::endl;
  }
}

void SnapshotTaker::File(Clock::time_point now, bool final) {
  for (auto it = drawn_.begin(); it != drawn_.end();) {
    if (!final && now < it->next_lookup) {
      ++it;
      continue;
    }
    std::string error;
    const int64_t id = store_->FindExit(it->key, &error);
    if (id == 0 && !final && now - it->received <= options_.id_wait) {
      it->next_lookup = now + kLookupPause;  // the history is behind
      ++it;
      continue;
    }
    if (id > 0 && files_->Write(id, it->jpeg, &error)) {
      Remember(it->key.uuid, it->key.part, id);
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_.written;
    } else {
      Fail("a snapshot was not kept: " +
           (id > 0 ? error
                   : "its zone exit was not in the history in time" +
                         (error.empty() ? "" : " (" + error + ")")));
    }
    it = drawn_.erase(it);
  }
}

void SnapshotTaker::Remember(const std::string& uuid, int part, int64_t id) {
  if (uuid.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (ids_.emplace(std::make_pair(uuid, part), id).second) {
    id_order_.emplace_back(uuid, part);
  }
  while (id_order_.size() > kRememberedIds) {
    ids_.erase(id_order_.front());
    id_order_.pop_front();
  }
}

void SnapshotTaker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    const bool final = stopping_;
    const auto now = Clock::now();
    std::vector<Pending> ready = TakeReady(now, final);
    lock.unlock();
    for (Pending& p : ready) {
      Draw(&p);
      if (p.jpeg.empty()) continue;
      p.crossing.reset();  // the frame is no longer needed
      p.next_lookup = now;
      drawn_.push_back(std::move(p));
    }
    File(Clock::now(), final);
    if (Clock::now() >= next_enforce_) {
      files_->Enforce();
      next_enforce_ = Clock::now() + kEnforcePeriod;
    }
    lock.lock();
    if (final) break;
    wake_.wait_for(lock, kRound);
  }
}

int64_t SnapshotTaker::SnapshotId(const std::string& uuid, int part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = ids_.find({uuid, part});
  return it == ids_.end() ? 0 : it->second;
}

SnapshotTaker::Counts SnapshotTaker::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

}  // namespace kestu_tools
