// What kestu-mqtt's --state_file rests on: the acknowledged position of a
// driver's journal (AckFrontier) under acknowledgements in any order,
// drops and gaps; the outbound queue keeping journalled events over
// untagged messages; and the state file read back whole, or refused as
// damaged.
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tools/mqtt/ack_frontier.h"
#include "tools/mqtt/outbound_queue.h"
#include "tools/mqtt/state_file.h"

namespace kestu_tools {
namespace {

using Outcome = AckFrontier::Outcome;

const AckFrontier::ZoneKey kIn{"Walkway", "FORWARD"};
const AckFrontier::ZoneKey kOut{"Walkway", "BACKWARD"};

// One step: a result added (its tag is 10 * its number), or one message of
// a result acknowledged or dropped.
struct Step {
  enum Kind { kAdd, kAck, kDrop } kind;
  uint64_t sequence;
  int messages = 0;  // kAdd
  std::vector<AckFrontier::ZoneKey> exits = {};
};
Step Add(uint64_t sequence, int messages,
         std::vector<AckFrontier::ZoneKey> exits = {}) {
  return {Step::kAdd, sequence, messages, std::move(exits)};
}
Step Ack(uint64_t sequence) { return {Step::kAck, sequence}; }
Step Drop(uint64_t sequence) { return {Step::kDrop, sequence}; }

struct FrontierCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<Outcome> outcomes;  // of each step
  uint64_t sequence;
  int64_t in;   // the count of kIn (5 at the start)
  int64_t out;  // of kOut (0 at the start)
  uint64_t held_at = 0;
};

void PrintTo(const FrontierCase& c, std::ostream* out) { *out << c.name; }

class AckFrontierTest : public ::testing::TestWithParam<FrontierCase> {};

TEST_P(AckFrontierTest, MovesOnlyOverWhatIsAcknowledged) {
  const FrontierCase& c = GetParam();
  AckFrontier frontier;
  frontier.Start("journal", 10, {{kIn, 5}});
  ASSERT_EQ(c.steps.size(), c.outcomes.size());
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    const uint64_t tag = step.sequence * 10;
    const Outcome outcome =
        step.kind == Step::kAdd
            ? frontier.Add(step.sequence, tag, step.messages, step.exits)
            : frontier.Settle(tag, step.kind == Step::kAck);
    EXPECT_EQ(outcome, c.outcomes[i]) << "step " << i;
  }
  EXPECT_EQ(frontier.sequence(), c.sequence);
  const auto& counts = frontier.counts();
  EXPECT_EQ(counts.count(kIn) ? counts.at(kIn) : 0, c.in);
  EXPECT_EQ(counts.count(kOut) ? counts.at(kOut) : 0, c.out);
  EXPECT_EQ(frontier.held_at(), c.held_at);
}

constexpr Outcome kIgnored = Outcome::kIgnored;
constexpr Outcome kPending = Outcome::kPending;
constexpr Outcome kMoved = Outcome::kMoved;
constexpr Outcome kHeld = Outcome::kHeld;

INSTANTIATE_TEST_SUITE_P(
    Orders, AckFrontierTest,
    ::testing::Values(
        FrontierCase{
            "InOrder",
            {Add(11, 2, {kIn}), Add(12, 1, {kOut}), Ack(11), Ack(11), Ack(12)},
            {kPending, kPending, kPending, kMoved, kMoved},
            12,
            6,
            1},
        FrontierCase{"LaterOnesWaitForTheFirst",
                     {Add(11, 1, {kIn}), Add(12, 1, {kIn}), Add(13, 1, {kOut}),
                      Ack(13), Ack(12), Ack(11)},
                     {kPending, kPending, kPending, kPending, kPending, kMoved},
                     13,
                     7,
                     1},
        FrontierCase{"OnlyTheAcknowledgedCount",
                     {Add(11, 1, {kIn}), Add(12, 1, {kIn, kOut}), Ack(11)},
                     {kPending, kPending, kMoved},
                     11,
                     6,
                     0},
        // Results without events, and gaps (12-19), pass with those before.
        FrontierCase{"NothingToSendPasses",
                     {Add(11, 1), Add(20, 0), Ack(11), Add(21, 0)},
                     {kPending, kPending, kMoved, kMoved},
                     21,
                     5,
                     0},
        FrontierCase{"ADropHoldsThePositionBeforeIt",
                     {Add(11, 1, {kIn}), Add(12, 1, {kIn}), Add(13, 1, {kIn}),
                      Drop(12), Ack(13), Ack(11), Add(14, 0), Ack(12)},
                     {kPending, kPending, kPending, kHeld, kIgnored, kMoved,
                      kIgnored, kIgnored},
                     11,
                     6,
                     0,
                     12},
        FrontierCase{"AnEarlierDropHoldsItFurther",
                     {Add(11, 1), Add(12, 1), Drop(12), Drop(11), Ack(11)},
                     {kPending, kPending, kHeld, kHeld, kIgnored},
                     10,
                     5,
                     0,
                     11},
        FrontierCase{
            "WhatIsNotPendingIsIgnored",
            {Add(11, 1), Ack(11), Ack(11), Ack(12), Add(11, 1), Add(9, 1)},
            {kPending, kMoved, kIgnored, kIgnored, kIgnored, kIgnored},
            11,
            5,
            0}),
    [](const ::testing::TestParamInfo<FrontierCase>& info) {
      return info.param.name;
    });

TEST(AckFrontierTest, StartForgetsWhatWasPendingAndEmptyResultsTakeNoRoom) {
  AckFrontier frontier;
  EXPECT_EQ(frontier.Add(1, 10, 1, {}), kIgnored);  // not started
  frontier.Start("old", 0, {});
  EXPECT_EQ(frontier.Add(1, 10, 1, {kIn}), kPending);
  frontier.Start("new", 0, {});
  EXPECT_EQ(frontier.Settle(10, true), kIgnored);
  EXPECT_EQ(frontier.sequence(), 0u);
  EXPECT_TRUE(frontier.counts().empty());
  EXPECT_EQ(frontier.Add(1, 20, 1, {kIn}), kPending);
  EXPECT_EQ(frontier.Settle(20, true), kMoved);
  EXPECT_EQ(frontier.journal_id(), "new");
  // Results without events behind one that waits take no room.
  EXPECT_EQ(frontier.Add(2, 30, 1, {}), kPending);
  for (uint64_t s = 3; s <= 100; ++s) frontier.Add(s, 30 + s, 0, {});
  EXPECT_EQ(frontier.pending(), 2u);
  EXPECT_EQ(frontier.Settle(30, true), kMoved);
  EXPECT_EQ(frontier.sequence(), 100u);
}

// (topic, tag) of what is queued, oldest first.
std::vector<std::pair<std::string, uint64_t>> Drain(OutboundQueue& queue) {
  std::vector<std::pair<std::string, uint64_t>> out;
  while (auto m = queue.Next()) out.emplace_back(m->topic, m->tag);
  return out;
}

TEST(OutboundQueueTest, TaggedMessagesOutlastUntaggedOnes) {
  OutboundQueue queue(3);
  EXPECT_FALSE(queue.Push("e1", "", 1));
  EXPECT_FALSE(queue.Push("s1", ""));
  EXPECT_FALSE(queue.Push("e2", "", 2));
  auto dropped = queue.Push("e3", "", 3);  // the status goes, not e1
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->topic, "s1");
  dropped = queue.Push("s2", "");  // the newest goes: it is the only one
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->topic, "s2");
  dropped = queue.Push("e4", "", 4);  // no untagged left: the oldest
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->tag, 1u);
  EXPECT_EQ(queue.dropped(), 3);
  // A tagged message handed back while full pushes out an untagged one.
  OutboundMessage next = *queue.Next();  // e2
  queue.Push("s3", "");
  dropped = queue.Return(next);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->topic, "s3");
  EXPECT_EQ(Drain(queue), (std::vector<std::pair<std::string, uint64_t>>{
                              {"e2", 2}, {"e3", 3}, {"e4", 4}}));
  // Tagged and full of tagged, the returned one is the oldest: it goes.
  queue.Push("e5", "", 5);
  queue.Push("e6", "", 6);
  queue.Push("e7", "", 7);
  next = *queue.Next();
  queue.Push("e8", "", 8);
  dropped = queue.Return(next);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->tag, 5u);
}

std::string Folder() {
  std::string pattern = ::testing::TempDir() + "kestu-state-test-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern + "/" : "/tmp/";
}

struct DamageCase {
  const char* name;
  std::string contents;  // "<folder>": a folder in its place
};

void PrintTo(const DamageCase& c, std::ostream* out) { *out << c.name; }

class StateFileDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(StateFileDamageTest, IsRefusedWithAReason) {
  const std::string path = Folder() + "state";
  if (GetParam().contents == "<folder>") {
    ASSERT_EQ(mkdir(path.c_str(), 0750), 0);
  } else {
    std::ofstream(path) << GetParam().contents;
  }
  StateFile file(path);
  StateFile::State state;
  state.add_positions()->set_process("left over");
  std::string error;
  EXPECT_FALSE(file.Load(&state, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(state.positions_size(), 0);
  ASSERT_TRUE(file.SetAside(&error)) << error;
  struct stat info;
  EXPECT_EQ(stat((path + ".damaged").c_str(), &info), 0);
  EXPECT_TRUE(file.Load(&state, &error)) << error;  // none now
}

INSTANTIATE_TEST_SUITE_P(
    Damage, StateFileDamageTest,
    ::testing::Values(
        DamageCase{"Empty", ""},
        DamageCase{"CutOff", R"({"positions":[{"process":"a","dri)"},
        DamageCase{"NotJson", "\x01\x02garbage\xff"},
        DamageCase{"UnknownField", R"({"positions":[],"extra":1})"},
        DamageCase{"NoJournal",
                   R"({"positions":[{"process":"a","driver":"crowd"}]})"},
        DamageCase{"Twice",
                   R"({"positions":[)"
                   R"({"process":"a","driver":"crowd","journalId":"j"},)"
                   R"({"process":"a","driver":"crowd","journalId":"j"}]})"},
        DamageCase{
            "NegativeCount",
            R"({"positions":[{"process":"a","driver":"crowd",)"
            R"("journalId":"j","counts":[{"zone":"z","count":"-1"}]}]})"},
        DamageCase{"AFolder", "<folder>"}),
    [](const ::testing::TestParamInfo<DamageCase>& info) {
      return info.param.name;
    });

TEST(StateFileTest, EveryChangeIsWrittenAtOnce) {
  const std::string path = Folder() + "state";
  StateFile::State current, read;
  std::string error;
  ASSERT_TRUE(StateFile(path).Load(&read, &error)) << error;  // none yet
  std::mutex mutex;
  StateFile file(path);
  ASSERT_TRUE(file.Start(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return current;
      },
      &error))
      << error;
  for (uint64_t sequence = 1; sequence <= 50; ++sequence) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      current.Clear();
      auto* position = current.add_positions();
      position->set_process("127.0.0.1:60000");
      position->set_driver("crowd");
      position->set_journal_id("j");
      position->set_sequence(sequence);
    }
    file.Changed();
  }
  // Without a Stop, as a killed kestu-mqtt leaves it.
  EXPECT_TRUE(kestu_testing::PollUntil([&] {
    return StateFile(path).Load(&read, &error) && read.positions_size() == 1 &&
           read.positions(0).sequence() == 50;
  })) << error;

  StateFile nowhere(Folder() + "missing/state");
  EXPECT_FALSE(nowhere.Start([] { return StateFile::State(); }, &error));
  EXPECT_NE(error.find("missing/state"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestu_tools
