// The audit of the counts: Wilson intervals and count errors against
// values worked out apart from the code (the bounds as the roots of
// (p^ - p)^2 = z^2 p (1 - p) / n), and the audit tables in a real SQLite
// history: added to a history as it is, as often as it is opened, marks
// and missed passes kept, a mark holding only for its own event.
#include <sqlite3.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/audit_test_util.h"
#include "tools/web/audit_figures.h"
#include "tools/web/audit_store.h"
#include "tools/web/event_recorder.h"
#include "tools/web/event_store.h"

namespace kestu_tools {
namespace {

using audit_test::Exit;
using audit_test::TempPath;
namespace v1 = ::talvenrook::vision::v1;

constexpr double kMargin = 1e-9;

void ExpectEstimate(const Estimate& e, std::optional<double> value,
                    std::optional<double> low, std::optional<double> high,
                    const std::string& what) {
  ASSERT_EQ(e.value.has_value(), value.has_value()) << what;
  ASSERT_EQ(e.low.has_value(), low.has_value()) << what;
  ASSERT_EQ(e.high.has_value(), high.has_value()) << what;
  if (value) {
    EXPECT_NEAR(*e.value, *value, kMargin) << what;
  }
  if (low) {
    EXPECT_NEAR(*e.low, *low, kMargin) << what;
  }
  if (high) {
    EXPECT_NEAR(*e.high, *high, kMargin) << what;
  }
}

struct WilsonCase {
  double successes, trials;
  std::optional<double> value, low, high;
};

TEST(AuditFiguresTest, WilsonScoreIntervals) {
  const WilsonCase cases[] = {
      {0, 0, std::nullopt, std::nullopt, std::nullopt},
      {10, 10, 1.0, 0.7224672001371111, 1.0},
      {45, 50, 0.9, 0.7863976856252038, 0.9565242350681092},
      {0, 10, 0.0, 0.0, 0.27753279986288915},
      {1, 2, 0.5, 0.09453120573423074, 0.9054687942657692},
      {7, 9, 0.7777777777777778, 0.4525889691069889, 0.9367748928821533},
  };
  for (const WilsonCase& c : cases) {
    ExpectEstimate(
        Wilson(c.successes, c.trials), c.value, c.low, c.high,
        std::to_string(c.successes) + "/" + std::to_string(c.trials));
  }
}

struct ErrorCase {
  AuditTally tally;
  std::optional<double> truth;
  Estimate precision, recall, error;
};

TEST(AuditFiguresTest, CountErrorsFromMarks) {
  const std::nullopt_t none = std::nullopt;
  const ErrorCase cases[] = {
      // Every crossing audited: 45 right, 5 wrong, 5 missed: as many
      // counted as passed.
      {{50, 45, 5, 5},
       50.0,
       {0.9, 0.7863976856252038, 0.9565242350681092},
       {0.9, 0.7863976856252038, 0.9565242350681092},
       {0.0, -0.20334820319720737, 0.25525355495751834}},
      {{10, 10, 0, 0},
       10.0,
       {1.0, 0.7224672001371111, 1.0},
       {1.0, 0.7224672001371111, 1.0},
       {0.0, -0.33439325382780816, 0.502388618731489}},
      // Half audited, all of those right: the rest taken as right.
      {{20, 10, 0, 2},
       22.0,
       {1.0, 0.7224672001371111, 1.0},
       {0.9090909090909091, 0.7218505315839416, 0.974704571009005},
       {-0.09090909090909094, -0.31238488597136993, 0.47003061066603546}},
      // Half of the counted ones were no passes: twice the truth.
      {{12, 6, 6, 0},
       6.0,
       {0.5, 0.2537815976337061, 0.7462184023662939},
       {1.0, 0.6096657120978348, 1.0},
       {1.0, -0.2946356997867726, 3.3786527680806913}},
      {{10, 9, 1, 3},
       12.0,
       {0.9, 0.5958499732047617, 0.9821237869049269},
       {0.75, 0.4676946650664344, 0.9110583316059452},
       {-0.16666666666666663, -0.5638940722192771, 0.6863601924773786}},
      // All wrong: no true pass, no error to give; nothing audited:
      // nothing measured; nothing counted: every pass missed.
      {{5, 0, 5, 0},
       0.0,
       {0.0, 0.0, 0.43448246478317465},
       {none, none, none},
       {none, none, none}},
      {{7, 0, 0, 2},
       none,
       {none, none, none},
       {none, none, none},
       {none, none, none}},
      {{0, 0, 0, 4},
       4.0,
       {none, none, none},
       {0.0, 0.0, 0.4898908364545972},
       {-1.0, -1.0, -1.0}},
  };
  for (const ErrorCase& c : cases) {
    const std::string what = "counted " + std::to_string(c.tally.counted) +
                             " right " + std::to_string(c.tally.right) +
                             " wrong " + std::to_string(c.tally.wrong) +
                             " missed " + std::to_string(c.tally.missed);
    const CountError e = MeasureCountError(c.tally);
    EXPECT_EQ(e.audited, c.tally.right + c.tally.wrong) << what;
    EXPECT_EQ(e.unaudited, c.tally.counted - e.audited) << what;
    ASSERT_EQ(e.true_count.has_value(), c.truth.has_value()) << what;
    if (c.truth) {
      EXPECT_NEAR(*e.true_count, *c.truth, kMargin) << what;
    }
    ExpectEstimate(e.precision, c.precision.value, c.precision.low,
                   c.precision.high, what + " precision");
    ExpectEstimate(e.recall, c.recall.value, c.recall.low, c.recall.high,
                   what + " recall");
    ExpectEstimate(e.error, c.error.value, c.error.low, c.error.high,
                   what + " error");
  }
}

// The first column of the first row of a query, as text.
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value = "(no answer)";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) ==
        SQLITE_OK) {
      const int rc = sqlite3_step(statement);
      if (rc == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(statement, 0);
        value = text == nullptr ? "" : reinterpret_cast<const char*>(text);
      } else if (rc == SQLITE_DONE) {
        value = "";
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return value;
}

constexpr int64_t kT = 1796900000;
const char kProcess[] = "127.0.0.1:60000";

// A history of zone exits at kT + 10 * i, as kestu-web stores them, and
// one tracking end.
void WriteHistory(const std::string& path) {
  EventStore store;
  std::string error;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  std::vector<StoredEvent> rows;
  for (int i = 0; i < 4; ++i) {
    const auto result =
        Exit(10 + i, i == 3 ? v1::BACKWARD : v1::FORWARD, kT + 10 * i, i);
    for (auto& row : EventRows(kProcess, "crowd", result, kT + 10 * i)) {
      rows.push_back(std::move(row));
    }
  }
  StoredEvent end = rows.back();
  end.tag = "TRACKING_END";
  rows.push_back(end);
  ASSERT_TRUE(store.Append(rows, {}, &error)) << error;
}

AuditWindow Window(int64_t from, int64_t to) {
  return AuditWindow{kProcess, "crowd", "", static_cast<double>(from),
                     static_cast<double>(to)};
}

TEST(AuditStoreTest, AuditTablesJoinAHistoryInPlaceAndKeepTheMarks) {
  const std::string path = TempPath("store.sqlite");
  WriteHistory(path);
  std::string error;
  for (int open = 0; open < 2; ++open) {  // the second finds them there
    AuditStore audit;
    ASSERT_TRUE(audit.Open(path, &error)) << error;
  }
  EXPECT_EQ(Query(path, "SELECT version FROM schema_version"), "2");
  EXPECT_EQ(Query(path, "SELECT count(*) FROM audit_schema"), "1");
  {
    EventStore again;  // the history's own check still takes the file
    ASSERT_TRUE(again.Open(path, &error)) << error;
  }
  AuditStore audit;
  ASSERT_TRUE(audit.Open(path, &error)) << error;
  std::vector<AuditCrossing> crossings;
  bool more = true;
  ASSERT_TRUE(audit.Crossings(Window(kT, kT + 40), &crossings, &more, &error))
      << error;
  ASSERT_EQ(crossings.size(), 4u);  // the exits, not the tracking end
  EXPECT_FALSE(more);
  EXPECT_EQ(crossings[0].direction_name, "in");
  EXPECT_EQ(crossings[3].direction, "BACKWARD");
  EXPECT_EQ(crossings[3].direction_name, "out");
  EXPECT_EQ(crossings[2].tracking_id, 12);

  bool unknown = false;
  ASSERT_TRUE(audit.Mark(crossings[0].id, "right", &unknown, &error)) << error;
  ASSERT_TRUE(audit.Mark(crossings[1].id, "wrong", &unknown, &error)) << error;
  ASSERT_TRUE(audit.Mark(crossings[2].id, "right", &unknown, &error)) << error;
  ASSERT_TRUE(audit.Mark(crossings[2].id, "", &unknown, &error)) << error;
  const int64_t end_id = crossings[3].id + 1;  // the tracking end
  EXPECT_FALSE(audit.Mark(end_id, "right", &unknown, &error));
  EXPECT_TRUE(unknown) << error;
  int64_t missed = 0;
  ASSERT_TRUE(audit.AddMissed({0, kProcess, "crowd", "walkway", "BACKWARD",
                               kT + 15.0, "behind the pillar"},
                              &missed, &error))
      << error;
  int64_t outside = 0;
  ASSERT_TRUE(audit.AddMissed(
      {0, kProcess, "crowd", "walkway", "BACKWARD", kT + 99.0, ""}, &outside,
      &error));
  ASSERT_TRUE(audit.RemoveMissed(outside, &unknown, &error)) << error;
  EXPECT_FALSE(audit.RemoveMissed(outside, &unknown, &error));
  EXPECT_TRUE(unknown);

  AuditTallies tallies;
  ASSERT_TRUE(audit.Tallies(Window(kT, kT + 40), &tallies, &error)) << error;
  const AuditTally forward = tallies[{"walkway", "FORWARD"}].tally;
  const AuditTally backward = tallies[{"walkway", "BACKWARD"}].tally;
  EXPECT_EQ(forward.counted, 3);
  EXPECT_EQ(forward.right, 1);
  EXPECT_EQ(forward.wrong, 1);
  EXPECT_EQ(forward.missed, 0);
  EXPECT_EQ(backward.counted, 1);
  EXPECT_EQ(backward.missed, 1);
  EXPECT_EQ((tallies[{"walkway", "BACKWARD"}].direction_name), "out");
  // A narrower window holds only its own.
  ASSERT_TRUE(audit.Tallies(Window(kT + 10, kT + 20), &tallies, &error));
  EXPECT_EQ((tallies[{"walkway", "FORWARD"}].tally.wrong), 1);
  EXPECT_EQ((tallies[{"walkway", "FORWARD"}].tally.right), 0);
  EXPECT_EQ((tallies[{"walkway", "BACKWARD"}].tally.missed), 1);

  // A mark holds only for the event it was made on: an id given again to
  // another event (after the history was pruned to nothing) is unmarked.
  ASSERT_EQ(Query(path, "UPDATE events SET time = time + 1 WHERE id = " +
                            std::to_string(crossings[0].id)),
            "");
  ASSERT_TRUE(audit.Crossings(Window(kT, kT + 40), &crossings, &more, &error));
  EXPECT_EQ(crossings[0].verdict, "");
  EXPECT_EQ(crossings[1].verdict, "wrong");

  std::vector<std::string> lines;
  ASSERT_TRUE(audit.Lines(kProcess, "crowd", &lines, &error)) << error;
  EXPECT_EQ(lines, std::vector<std::string>({"walkway"}));
}

TEST(AuditStoreTest, AuditTablesOfANewerKestuWebAreRefused) {
  const std::string path = TempPath("newer.sqlite");
  WriteHistory(path);
  std::string error;
  {
    AuditStore audit;
    ASSERT_TRUE(audit.Open(path, &error)) << error;
  }
  ASSERT_EQ(Query(path, "UPDATE audit_schema SET version = 2"), "");
  AuditStore audit;
  EXPECT_FALSE(audit.Open(path, &error));
  EXPECT_NE(error.find("have version 2"), std::string::npos) << error;
  EXPECT_EQ(Query(path, "SELECT version FROM audit_schema"), "2");
}

}  // namespace
}  // namespace kestu_tools
