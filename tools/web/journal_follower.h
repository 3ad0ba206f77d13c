// JournalFollower: one driver's numbered results given to a listener once
// each, in order, whatever the link missed while it or the process was away.
//
// A process run with --state_dir writes every result it publishes to its
// event journal before sending it, numbered per driver from 1
// (VisionResult.sequence). The follower keeps the listener's position (the
// last number it holds, read once from ProcessListener::JournalPosition)
// and:
//  - passes on a live result that is the next number; drops one it already
//    holds, after a catch-up that would find a new journal (a process whose
//    folder was replaced numbers from 1 again);
//  - on a live result past the next number, first fetches what lies
//    between from the journal (a JournalRequest on the process's journal
//    port), then drops the live one if that brought it;
//  - on CatchUp (the link calls it every few seconds, so that what was
//    published while nothing reached this side is fetched even when nothing
//    new comes), fetches everything after the position.
// A live result that arrives while the journal cannot be reached is left
// for a later catch-up rather than passed out of order. A stretch the
// journal no longer holds goes to OnJournalGap; a journal with a new id
// (its folder replaced) starts the position again from 0.
//
// Results without a number (a process without a journal, previews) and
// every result of a listener without a position pass as they come.
//
// Not thread-safe: the link thread uses it.
#ifndef TOOLS_WEB_JOURNAL_FOLLOWER_H_
#define TOOLS_WEB_JOURNAL_FOLLOWER_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "talvenrook/kestu/v1/journal.pb.h"
#include "tools/web/process_listener.h"

namespace kestu_tools {

class JournalFollower {
 public:
  using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;
  using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;
  using VisionResult = ProcessListener::VisionResult;
  // Asks the process; nullopt when it does not answer in time.
  using Fetch =
      std::function<std::optional<JournalReply>(const JournalRequest& request)>;

  static constexpr uint32_t kPageSize = 500;

  JournalFollower(ProcessListener* listener, std::string process,
                  std::string driver, Fetch fetch);

  void OnLive(const VisionResult& result);
  // Fetches what the listener does not hold yet. False when the journal did
  // not answer (or the listener keeps no position).
  bool CatchUp();

  // Whether a journal has been seen (a numbered result or a kept
  // position) or the listener wants to start from the journal's end: the
  // link only asks a process for these.
  bool FollowsJournal() {
    LoadMark();
    return seen_journal_;
  }
  uint64_t sequence() const { return mark_ ? mark_->sequence : 0; }

 private:
  bool LoadMark();
  bool Rebase(const JournalReply& reply);

  ProcessListener* const listener_;
  const std::string process_;
  const std::string driver_;
  const Fetch fetch_;
  bool loaded_ = false;
  std::optional<ProcessListener::JournalMark> mark_;
  bool seen_journal_ = false;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_JOURNAL_FOLLOWER_H_
