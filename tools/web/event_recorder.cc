#include "tools/web/event_recorder.h"

#include <algorithm>
#include <iostream>

#include "talvenrook/kestu/v1/journal.pb.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using Status = ::talvenrook::kestu::v1::driver::Status;

constexpr auto kRetryAfter = std::chrono::seconds(1);

// Drops the oldest entries beyond `keep`; how many were dropped.
template <typename T>
size_t KeepNewest(std::vector<T>* rows, size_t keep) {
  if (rows->size() <= keep) return 0;
  const size_t excess = rows->size() - keep;
  rows->erase(rows->begin(),
              rows->begin() + static_cast<std::ptrdiff_t>(excess));
  return excess;
}

}  // namespace

std::vector<StoredEvent> EventRows(const std::string& process,
                                   const std::string& driver,
                                   const v1::VisionResult& result,
                                   double received) {
  v1::VisionResult stored = result;
  stored.clear_result_image();
  stored.clear_result_image_small();
  stored.clear_image();
  stored.clear_image_small();
  StoredEvent base;
  base.process = process;
  base.driver = driver;
  base.time = received;
  base.result_json = Json(stored);
  base.sequence = result.sequence();
  const auto& frame = result.frame_data();
  if (result.sequence() > 0 && frame.has_end_time() &&
      frame.end_time().seconds() > 0) {
    base.time = static_cast<double>(frame.end_time().seconds()) +
                frame.end_time().nanos() * 1e-9;
  }
  if (result.rect_detection_size() > 0) {
    base.type = result.rect_detection(0).type();
    base.tracking_id =
        static_cast<int64_t>(result.rect_detection(0).tracking_id());
  }
  std::vector<StoredEvent> rows;
  for (const auto& event : result.vision_event()) {
    StoredEvent row = base;
    row.part = static_cast<int>(rows.size());
    row.tag = v1::EventTag_Name(event.tag());
    if (event.has_timestamp() && event.timestamp().seconds() > 0) {
      row.time = static_cast<double>(event.timestamp().seconds()) +
                 event.timestamp().nanos() * 1e-9;
    }
    if (event.tracking_id() != 0) {
      row.tracking_id = static_cast<int64_t>(event.tracking_id());
    }
    const bool area =
        event.tag() == v1::AREA_ENTER || event.tag() == v1::AREA_EXIT;
    if (area) {
      row.zone = !event.area_name().empty()
                     ? event.area_name()
                     : "Area #" + std::to_string(event.area_id() + 1);
    } else {
      row.zone = event.zone_name();
    }
    if (event.tag() == v1::ZONE_EXIT || event.tag() == v1::ZONE_ENTER) {
      row.direction = v1::ZoneDirection_Name(event.zone_direction());
      row.has_speed = event.speed() > 0.0f;
      row.speed = event.speed();
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) rows.push_back(std::move(base));
  return rows;
}

EventRecorder::EventRecorder(EventStore* store, int retention_days,
                             std::chrono::seconds prune_period)
    : store_(store),
      retention_days_(retention_days),
      prune_period_(prune_period) {}

EventRecorder::~EventRecorder() { Stop(); }

void EventRecorder::Start() {
  thread_ = std::thread(&EventRecorder::Run, this);
}

void EventRecorder::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void EventRecorder::AddResult(const std::string& process,
                              const std::string& driver,
                              const v1::VisionResult& result, double received,
                              const std::string& journal_id) {
  std::vector<StoredEvent> rows = EventRows(process, driver, result, received);
  if (result.sequence() > 0) {
    for (StoredEvent& row : rows) row.journal_id = journal_id;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (StoredEvent& row : rows) queued_.events.push_back(std::move(row));
  dropped_ += static_cast<int64_t>(KeepNewest(&queued_.events, kMaxQueued));
  if (result.sequence() > 0) {
    SetPosition(process, driver, journal_id, result.sequence());
  }
  wake_.notify_all();
}

// Requires: mutex_ held.
void EventRecorder::SetPosition(const std::string& process,
                                const std::string& driver,
                                const std::string& journal_id,
                                uint64_t sequence) {
  queued_.positions[{process, driver}] =
      StoredPosition{process, driver, journal_id, sequence};
}

void EventRecorder::AddJournalStart(const std::string& process,
                                    const std::string& driver,
                                    const std::string& journal_id,
                                    uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  SetPosition(process, driver, journal_id, sequence);
  wake_.notify_all();
}

void EventRecorder::AddJournalGap(const std::string& process,
                                  const std::string& driver,
                                  const std::string& journal_id, uint64_t from,
                                  uint64_t to, double received) {
  StoredStatus row;
  row.process = process;
  row.driver = driver;
  row.time = received;
  row.type = "JOURNAL_GAP";
  row.message = "events " + std::to_string(from) + ".." + std::to_string(to) +
                " were no longer held by the process";
  ::talvenrook::kestu::v1::journal::JournalReply gap;  // what was missed
  gap.set_journal_id(journal_id);
  gap.set_gap_from(from);
  gap.set_gap_to(to);
  row.status_json = Json(gap);
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.statuses.push_back(std::move(row));
  dropped_ += static_cast<int64_t>(KeepNewest(&queued_.statuses, kMaxQueued));
  SetPosition(process, driver, journal_id, to);
  wake_.notify_all();
}

void EventRecorder::AddStatus(const std::string& process,
                              const std::string& driver, const Status& status,
                              double received) {
  StoredStatus row;
  row.process = process;
  row.driver = driver;
  row.time = received;
  row.type = Status::MessageType_Name(status.type());
  row.message = status.message();
  row.uuid = status.uuid();
  row.status_json = Json(status);
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.statuses.push_back(std::move(row));
  dropped_ += static_cast<int64_t>(KeepNewest(&queued_.statuses, kMaxQueued));
  wake_.notify_all();
}

void EventRecorder::Run() {
  auto next_prune = std::chrono::steady_clock::now();
  auto retry_at = std::chrono::steady_clock::time_point::min();
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_prune) {
      lock.unlock();
      Prune();
      lock.lock();
      next_prune = std::chrono::steady_clock::now() + prune_period_;
      continue;
    }
    const bool waiting_to_retry = retry_at > now && !stopping_;
    const bool have_work = !queued_.empty();
    if (stopping_ && !have_work) break;
    if (!have_work || waiting_to_retry) {
      wake_.wait_until(
          lock, waiting_to_retry ? std::min(retry_at, next_prune) : next_prune);
      continue;
    }
    if (dropped_ > 0) {
      std::cerr << "kestu-web: the history dropped " << dropped_
                << " records the database could not take in time" << std::endl;
      dropped_ = 0;
    }
    Pending batch;
    std::swap(batch, queued_);
    lock.unlock();
    Write(&batch);
    lock.lock();
    if (batch.empty()) {
      retry_at = std::chrono::steady_clock::time_point::min();
      continue;
    }
    if (stopping_) {
      std::cerr << "kestu-web: " << batch.events.size() + batch.statuses.size()
                << " records were not stored" << std::endl;
      queued_ = Pending();
      break;
    }
    // Refused: tried again, in order, ahead of what came meanwhile.
    batch.events.insert(batch.events.end(),
                        std::make_move_iterator(queued_.events.begin()),
                        std::make_move_iterator(queued_.events.end()));
    batch.statuses.insert(batch.statuses.end(),
                          std::make_move_iterator(queued_.statuses.begin()),
                          std::make_move_iterator(queued_.statuses.end()));
    for (auto& [key, position] : queued_.positions) {
      batch.positions[key] = std::move(position);  // the newer one
    }
    std::swap(batch, queued_);
    dropped_ += static_cast<int64_t>(KeepNewest(&queued_.events, kMaxQueued) +
                                     KeepNewest(&queued_.statuses, kMaxQueued));
    retry_at = std::chrono::steady_clock::now() + kRetryAfter;
  }
}

// Stores the batch and empties it; a refused batch is left as it was.
void EventRecorder::Write(Pending* batch) {
  std::string error;
  std::vector<StoredPosition> positions;
  for (const auto& [key, position] : batch->positions) {
    positions.push_back(position);
  }
  if (store_->Append(batch->events, batch->statuses, positions, &error)) {
    *batch = Pending();
    return;
  }
  std::cerr << "kestu-web: could not store " << batch->events.size()
            << " events and " << batch->statuses.size()
            << " statuses in the history (" << error << "); trying again"
            << std::endl;
}

void EventRecorder::Prune() {
  if (retention_days_ <= 0) return;
  std::string error;
  const int64_t deleted =
      store_->Prune(EpochSeconds() - retention_days_ * 86400.0, &error);
  if (deleted < 0) {
    std::cerr << "kestu-web: could not prune the history (" << error << ")"
              << std::endl;
  } else if (deleted > 0) {
    std::cerr << "kestu-web: pruned " << deleted << " history rows older than "
              << retention_days_ << " days" << std::endl;
  }
}

}  // namespace kestu_tools
