#include "tools/web/journal_follower.h"

#include <utility>

namespace kestu_tools {

JournalFollower::JournalFollower(ProcessListener* listener, std::string process,
                                 std::string driver, Fetch fetch)
    : listener_(listener),
      process_(std::move(process)),
      driver_(std::move(driver)),
      fetch_(std::move(fetch)) {}

bool JournalFollower::LoadMark() {
  if (!loaded_) {
    loaded_ = true;
    mark_ = listener_->JournalPosition(process_, driver_);
    if (mark_ && (!mark_->journal_id.empty() || mark_->sequence > 0 ||
                  mark_->from_end)) {
      seen_journal_ = true;
    }
  }
  return mark_.has_value();
}

void JournalFollower::OnLive(const VisionResult& result) {
  if (result.sequence() == 0 || !LoadMark()) {
    listener_->OnResult(process_, driver_, result);
    return;
  }
  seen_journal_ = true;
  // A position not yet tied to this journal is settled by a fetch first.
  if (mark_->journal_id.empty() || mark_->from_end) {
    if (!CatchUp()) return;
  }
  if (result.sequence() == mark_->sequence + 1) {
    mark_->sequence = result.sequence();
    listener_->OnResult(process_, driver_, result);
    return;
  }
  // A number already held, or one past the next: a catch-up brings what
  // was missed (this one among it) or finds that the process's journal is
  // a new one whose numbers started again.
  CatchUp();
}

bool JournalFollower::Rebase(const JournalReply& reply) {
  const uint64_t base = mark_->from_end ? reply.last_sequence() : 0;
  JournalReply position;
  if (base > 0) *position.mutable_zone_total() = reply.zone_total();
  position.set_journal_id(reply.journal_id());
  position.set_last_sequence(base);
  listener_->OnJournalStart(process_, driver_, reply.journal_id(), base,
                            position);
  const bool refetch = mark_->sequence != 0 && base == 0;
  mark_->journal_id = reply.journal_id();
  mark_->sequence = base;
  mark_->from_end = false;
  return refetch;
}

bool JournalFollower::CatchUp() {
  if (!LoadMark()) return false;
  for (;;) {
    JournalRequest request;
    request.set_driver(driver_);
    request.set_after_sequence(mark_->sequence);
    request.set_max_results(kPageSize);
    request.set_position_only(mark_->from_end);
    const std::optional<JournalReply> reply = fetch_(request);
    if (!reply || !reply->error().empty()) return false;
    seen_journal_ = true;
    if (mark_->from_end || reply->journal_id() != mark_->journal_id) {
      // A new journal (or the first): ask again from its start unless only
      // what comes from now on is wanted.
      const bool from_end = mark_->from_end;
      Rebase(*reply);
      if (from_end) return true;
      continue;
    }
    bool advanced = false;
    if (reply->gap_to() > mark_->sequence) {
      listener_->OnJournalGap(process_, driver_, reply->gap_from(),
                              reply->gap_to());
      mark_->sequence = reply->gap_to();
      advanced = true;
    }
    for (const VisionResult& result : reply->result()) {
      if (result.sequence() <= mark_->sequence) continue;
      mark_->sequence = result.sequence();
      listener_->OnResult(process_, driver_, result);
      advanced = true;
    }
    if (!advanced || mark_->sequence >= reply->last_sequence()) return true;
  }
}

}  // namespace kestu_tools
