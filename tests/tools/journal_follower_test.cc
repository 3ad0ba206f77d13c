// The order, the duplicates and the catching up of a link following a
// driver's journal: a listener with or without a position, live results as
// they come off the data port, and a journal that answers or not.
#include "tools/web/journal_follower.h"

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestu_tools {
namespace {

using JournalReply = JournalFollower::JournalReply;
using JournalRequest = JournalFollower::JournalRequest;
using VisionResult = ProcessListener::VisionResult;

// What reached the listener, written as one line: "r3" a result, "s:id:5"
// a journal start, "g:4-7" a gap.
class Recorder : public ProcessListener {
 public:
  explicit Recorder(std::optional<JournalMark> mark) : mark_(std::move(mark)) {}
  std::string heard() const { return heard_.str(); }

  std::optional<JournalMark> JournalPosition(const std::string&,
                                             const std::string&) override {
    return mark_;
  }
  void OnJournalStart(const std::string&, const std::string&,
                      const std::string& id, uint64_t sequence,
                      const JournalReply& position) override {
    heard_ << "s:" << id << ":" << sequence;
    for (const auto& total : position.zone_total())
      heard_ << "+" << total.count();
    heard_ << " ";
  }
  void OnJournalGap(const std::string&, const std::string&, uint64_t from,
                    uint64_t to) override {
    heard_ << "g:" << from << "-" << to << " ";
  }
  void OnResult(const std::string&, const std::string&,
                const VisionResult& result) override {
    heard_ << "r" << result.sequence() << " ";
  }
  void AddProcess(const std::string&, const std::string&, int, int) override {}
  void SetReachable(const std::string&, bool) override {}
  void SetDriverName(const std::string&, const std::string&,
                     const std::string&) override {}
  void OnDriverInfo(const std::string&, const std::string&,
                    const DriverInfo&) override {}
  void OnStatus(const std::string&, const std::string&,
                const Status&) override {}
  void OnStream(const std::string&, const VisionResult&) override {}
  void SetControlled(const std::string&, const std::string&) override {}
  bool IsControlled(const std::string&, const std::string&) override {
    return false;
  }
  void OnPingAnswered(const std::string&, const std::string&) override {}

 private:
  std::optional<JournalMark> mark_;
  std::ostringstream heard_;
};

// A journal holding first..last, answering pages of 3.
struct Journal {
  std::string id = "J";
  uint64_t first = 1;
  uint64_t last = 0;
  bool reachable = true;

  std::optional<JournalReply> Answer(const JournalRequest& request) const {
    if (!reachable) return std::nullopt;
    JournalReply reply;
    reply.set_journal_id(id);
    reply.set_first_sequence(first);
    reply.set_last_sequence(last);
    reply.add_zone_total()->set_count(static_cast<int64_t>(last));
    if (request.position_only()) return reply;
    uint64_t next = request.after_sequence() + 1;
    if (next < first && first <= last) {
      reply.set_gap_from(next);
      reply.set_gap_to(first - 1);
      next = first;
    }
    for (int n = 0; n < 3 && next <= last; ++n, ++next) {
      reply.add_result()->set_sequence(next);
    }
    return reply;
  }
};

struct Case {
  std::string name;
  std::optional<ProcessListener::JournalMark> mark;
  Journal journal;
  // "7" a live result numbered 7 (written to the journal first); "c" a
  // catch-up; "down"/"up" the journal's port.
  std::vector<std::string> steps;
  std::string heard;
};

TEST(JournalFollowerTest, GivesEachJournalledResultOnceInOrder) {
  using Mark = ProcessListener::JournalMark;
  const std::vector<Case> cases = {
      {"a new listener takes the whole journal, then the live ones",
       Mark{},
       {"J", 1, 4},
       {"5", "6"},
       "s:J:0 r1 r2 r3 r4 r5 r6 "},
      {"live results in order pass; a repeated one does not",
       Mark{"J", 4},
       {"J", 1, 6},
       {"5", "5", "6", "4"},
       "r5 r6 "},
      {"a missed number is fetched before the live one, which is not given "
       "twice",
       Mark{"J", 2},
       {"J", 1, 6},
       {"3", "6"},
       "r3 r4 r5 r6 "},
      {"a catch-up brings what came while the listener was away",
       Mark{"J", 1},
       {"J", 1, 8},
       {"c", "9"},
       "r2 r3 r4 r5 r6 r7 r8 r9 "},
      {"a new journal starts again from its first result",
       Mark{"OLD", 40},
       {"J", 1, 2},
       {"c"},
       "s:J:0 r1 r2 "},
      {"from the end: the totals and the position, then only what comes",
       Mark{"", 0, true},
       {"J", 1, 7},
       {"c", "8", "9"},
       "s:J:7+7 r8 r9 "},
      {"what the journal no longer holds is a gap",
       Mark{"J", 3},
       {"J", 8, 9},
       {"c"},
       "g:4-7 r8 r9 "},
      {"while the journal does not answer nothing passes out of order",
       Mark{"J", 2},
       {"J", 1, 5, false},
       {"4", "5", "up", "c"},
       "r3 r4 r5 "},
      {"a listener without a position gets everything as it comes",
       std::nullopt,
       {"J", 1, 9},
       {"5", "5", "2", "c"},
       "r5 r5 r2 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder listener(c.mark);
    Journal journal = c.journal;
    JournalFollower follower(&listener, "p", "crowd",
                             [&journal](const JournalRequest& request) {
                               return journal.Answer(request);
                             });
    for (const std::string& step : c.steps) {
      if (step == "c") {
        follower.CatchUp();
      } else if (step == "down" || step == "up") {
        journal.reachable = step == "up";
      } else {
        VisionResult live;
        live.set_sequence(std::stoull(step));
        // A live result is in the journal before it is sent.
        if (c.journal.last < live.sequence()) journal.last = live.sequence();
        follower.OnLive(live);
      }
    }
    EXPECT_EQ(listener.heard(), c.heard);
  }
}

}  // namespace
}  // namespace kestu_tools
