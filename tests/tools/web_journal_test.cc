// kestu-web's place in a driver's event journal, kept in its history with
// the events: each journalled result is stored once however it came (live,
// caught up, both) and whatever was stopped, killed or replaced meanwhile;
// a stretch the journal no longer held is recorded; a history of schema
// version 1 is brought up to date.
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <zmq.hpp>

#include "talvenrook/kestu/v1/journal.pb.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/event_store.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;
using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

constexpr char kDriver[] = "crowd";
constexpr int kReadBound = 8;  // results per reply: catch-ups page

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kestu-journal-" + std::to_string(getpid()) +
         "-" + name;
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
}

// Runs SQL on the file; the first column of the first row, as text.
std::string Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value = "(no answer)";
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
      const int rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(s, 0);
        value = text == nullptr ? "" : reinterpret_cast<const char*>(text);
      } else if (rc == SQLITE_DONE) {
        value = "";
      }
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return value;
}

// The numbers of a journal's results in the history, one per stored row of
// the given event index ("1,2,2,5": 2 stored twice, 3 and 4 missing).
std::string Stored(const std::string& db, const std::string& journal,
                   int part = 0) {
  return Sql(db,
             "SELECT ifnull(group_concat(sequence), '') FROM (SELECT sequence"
             " FROM events WHERE journal = '" +
                 journal + "' AND part = " + std::to_string(part) +
                 " ORDER BY sequence)");
}

// The crowd driver's kept position: "journal sequence".
std::string KeptPosition(const std::string& db) {
  return Sql(db,
             "SELECT journal_id || ' ' || sequence FROM journal_positions"
             " WHERE driver = 'crowd'");
}

std::string Numbers(uint64_t from, uint64_t to, int every = 1) {
  std::string text;
  for (uint64_t n = from; n <= to; ++n) {
    if (n % every != 0) continue;
    text += (text.empty() ? "" : ",") + std::to_string(n);
  }
  return text;
}

// Result n: a zone exit (every third backward), every fourth with an area
// entry as its second event.
VisionResult Numbered(uint64_t n) {
  VisionResult result;
  result.set_sequence(n);
  auto* detection = result.add_rect_detection();
  detection->set_type("person");
  detection->set_tracking_id(n);
  auto* exit = result.add_vision_event();
  exit->set_tag(v1::ZONE_EXIT);
  exit->set_zone_name("Door");
  exit->set_zone_direction(n % 3 == 0 ? v1::BACKWARD : v1::FORWARD);
  exit->set_tracking_id(n);
  exit->mutable_timestamp()->set_seconds(time(nullptr));
  if (n % 4 == 0) {
    auto* area = result.add_vision_event();
    area->set_tag(v1::AREA_ENTER);
    area->set_tracking_id(n);
  }
  return result;
}

// What a driver's event journal holds; outlives the process that serves it.
struct Journal {
  std::mutex mutex;  // guards the members below
  std::string id;
  std::map<uint64_t, VisionResult> held;
  uint64_t last = 0;

  JournalReply Read(const JournalRequest& request) {
    std::lock_guard<std::mutex> lock(mutex);
    JournalReply reply;
    if (request.driver() != kDriver) {
      reply.set_error("No event journal for the driver");
      return reply;
    }
    reply.set_journal_id(id);
    reply.set_last_sequence(last);
    reply.set_first_sequence(held.empty() ? 0 : held.begin()->first);
    if (request.position_only() || request.after_sequence() >= last) {
      return reply;
    }
    auto it = held.upper_bound(request.after_sequence());
    if (it->first > request.after_sequence() + 1) {
      reply.set_gap_from(request.after_sequence() + 1);
      reply.set_gap_to(it->first - 1);
    }
    for (; it != held.end() && reply.result_size() < kReadBound; ++it) {
      *reply.add_result() = it->second;
    }
    return reply;
  }
};

// The crowd driver's data port and the journal port of a process on
// `base`, answering from a Journal.
class JournalProcess {
 public:
  JournalProcess(int base, Journal* journal)
      : journal_(journal),
        data_(context_, zmq::socket_type::pub),
        port_(context_, zmq::socket_type::rep) {
    for (zmq::socket_t* socket : {&data_, &port_}) {
      socket->set(zmq::sockopt::linger, 0);
    }
    data_.bind(Endpoint("127.0.0.1", base + DriverPortOffset(kDriver) + 3));
    port_.bind(Endpoint("127.0.0.1", base + kJournalPortOffset));
    thread_ = std::thread([this] { Serve(); });
  }
  ~JournalProcess() {
    stop_ = true;
    thread_.join();
  }

  // Journals the next result; sends it on the data port too when live.
  uint64_t Publish(bool live) {
    VisionResult result;
    {
      std::lock_guard<std::mutex> lock(journal_->mutex);
      result = Numbered(++journal_->last);
      journal_->held[journal_->last] = result;
    }
    if (live) {
      const std::string bytes = result.SerializeAsString();
      data_.send(zmq::buffer(bytes), zmq::send_flags::none);
    }
    return result.sequence();
  }

 private:
  void Serve() {
    while (!stop_) {
      zmq::pollitem_t item{port_.handle(), 0, ZMQ_POLLIN, 0};
      zmq::poll(&item, 1, std::chrono::milliseconds(20));
      zmq::message_t message;
      if (!(item.revents & ZMQ_POLLIN) ||
          !port_.recv(message, zmq::recv_flags::dontwait)) {
        continue;
      }
      JournalRequest request;
      request.ParseFromArray(message.data(), static_cast<int>(message.size()));
      const std::string reply = journal_->Read(request).SerializeAsString();
      port_.send(zmq::buffer(reply), zmq::send_flags::none);
    }
  }

  Journal* const journal_;
  zmq::context_t context_{1};
  zmq::socket_t data_;  // the test thread's
  zmq::socket_t port_;  // the serving thread's
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: started once the rest is there
};

// What happens between kestu-web's first run and its second.
enum class Break {
  kStopped,         // SIGTERM
  kKilled,          // SIGKILL, results still coming in
  kPositionBehind,  // the kept position set back: the journal repeats
  kAgedOut,         // the journal dropped results kestu-web had not read
  kNewJournal,      // the process's journal folder replaced
  kProcessRestart,  // kestu-web runs on; the process goes and comes back
};

struct RestartCase {
  const char* name;
  int port_index;
  Break what;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class WebJournalRestartTest : public ::testing::TestWithParam<RestartCase> {};

constexpr uint64_t kFirstRun = 30;   // published at once to the first run
constexpr uint64_t kWhileAway = 20;  // journalled while kestu-web is away
constexpr uint64_t kAgedOut = 12;    // of those, no longer held (kAgedOut)

TEST_P(WebJournalRestartTest, EachResultIsStoredOnce) {
  const RestartCase& c = GetParam();
  const int base = PortBlock(c.port_index);
  const std::string db = TempPath(std::string(c.name) + ".sqlite");
  RemoveDatabase(db);
  const std::vector<std::string> flags = {"--database=" + db,
                                          "--retention_days=0"};
  Journal journal;
  journal.id = "journal-A";
  auto process = std::make_unique<JournalProcess>(base, &journal);
  auto web = std::make_unique<WebProcess>(base + 17, std::vector{Address(base)},
                                          flags);
  ASSERT_TRUE(web->Started());

  // A driver publishes on and on: whatever its subscription missed (the
  // first results, before it is there) is caught up at the next one.
  uint64_t last = 0;
  const auto publish_until_stored =
      [&](const std::string& journal_id,
          const std::function<std::string()>& expected) {
        return PollUntil(
            [&] {
              if (last > 0 && Stored(db, journal_id) == expected()) return true;
              last = process->Publish(true);
              return false;
            },
            kWait, milliseconds(100));
      };
  for (uint64_t n = 1; n <= kFirstRun; ++n) last = process->Publish(true);
  if (c.what != Break::kKilled) {
    ASSERT_TRUE(publish_until_stored("journal-A", [&] {
      return Numbers(1, last);
    })) << Stored(db, "journal-A");
    EXPECT_EQ(Stored(db, "journal-A", 1), Numbers(1, last, 4));
    EXPECT_TRUE(PollUntil(
        [&] { return KeptPosition(db) == "journal-A " + std::to_string(last); },
        kWait));
  }
  const uint64_t first_run = last;
  if (c.what == Break::kProcessRestart) {
    // Gone and back at once; what it publishes before kestu-web's
    // subscription is back is lost on the way.
    process.reset();
    process = std::make_unique<JournalProcess>(base, &journal);
  } else {
    ASSERT_TRUE(
        web->child().Signal(c.what == Break::kKilled ? SIGKILL : SIGTERM));
    web->child().Wait(kWait);
    web.reset();
  }
  std::string current = "journal-A";
  uint64_t away = kWhileAway;
  if (c.what == Break::kPositionBehind) {
    Sql(db, "UPDATE journal_positions SET sequence = 5");
  } else if (c.what == Break::kNewJournal) {
    std::lock_guard<std::mutex> lock(journal.mutex);
    journal.id = current = "journal-B";
    journal.held.clear();
    journal.last = 0;
    // Past the old journal's numbers: a live result numbered just after
    // the kept position would pass for the old journal's next (a live
    // result does not name its journal).
    away = first_run + 10;
  }
  for (uint64_t n = 0; n < away; ++n) {
    last = process->Publish(c.what == Break::kProcessRestart);
  }
  uint64_t first_held = 1;
  if (c.what == Break::kAgedOut) {
    std::lock_guard<std::mutex> lock(journal.mutex);
    first_held = first_run + kAgedOut + 1;
    journal.held.erase(journal.held.begin(), journal.held.find(first_held));
  }
  if (!web) {
    web = std::make_unique<WebProcess>(base + 17, std::vector{Address(base)},
                                       flags);
    ASSERT_TRUE(web->Started());
  }
  // Its next result shows kestu-web that it has a journal to catch up on.
  const auto expected = [&] {
    if (c.what == Break::kNewJournal) return Numbers(1, last);
    if (c.what == Break::kAgedOut) {
      return Numbers(1, first_run) + "," + Numbers(first_held, last);
    }
    return Numbers(1, last);
  };
  publish_until_stored(current, expected);
  EXPECT_EQ(Stored(db, current), expected());
  EXPECT_EQ(Stored(db, current, 1),
            c.what == Break::kAgedOut
                ? Numbers(1, first_run, 4) + "," + Numbers(first_held, last, 4)
                : Numbers(1, last, 4));
  if (c.what == Break::kNewJournal) {
    EXPECT_EQ(Stored(db, "journal-A"), Numbers(1, first_run));
  }
  EXPECT_TRUE(PollUntil(
      [&] { return KeptPosition(db) == current + " " + std::to_string(last); },
      kWait))
      << KeptPosition(db) << " after " << last;

  // The counts by zone hold every stored exit, not only those since the
  // start (a repeated result is counted again in memory, though stored
  // once).
  httplib::Client client("127.0.0.1", web->port());
  if (c.what != Break::kPositionBehind) {
    std::string counts;
    EXPECT_TRUE(PollUntil(
        [&] {
          const auto state = GetState(client);
          if (state.processes_size() != 1) return false;
          const auto& zones = state.processes(0).drivers(2).zone_counts();
          counts = zones.empty() ? ""
                                 : std::to_string(zones[0].forward()) + " " +
                                       std::to_string(zones[0].backward());
          return counts == Sql(db,
                               "SELECT sum(direction = 'FORWARD') || ' ' ||"
                               " sum(direction = 'BACKWARD') FROM events WHERE"
                               " tag = 'ZONE_EXIT'");
        },
        kWait))
        << counts;
  }
  const std::string metrics = Get(client, "/metrics");
  const std::string gap_sample =
      "kestu_web_journal_gap_results_total{process=\"" + Address(base) +
      "\",driver=\"crowd\"} ";
  if (c.what == Break::kAgedOut) {
    const std::string range = std::to_string(first_run + 1) + ".." +
                              std::to_string(first_run + kAgedOut);
    EXPECT_EQ(
        Sql(db, "SELECT type || ': ' || message FROM statuses"),
        "JOURNAL_GAP: events " + range + " were no longer held by the process");
    EXPECT_NE(metrics.find(gap_sample + std::to_string(kAgedOut) + "\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(web->child().Stderr().find("ERROR: events " + range),
              std::string::npos)
        << web->child().Stderr();
  } else {
    EXPECT_NE(metrics.find(gap_sample + "0\n"), std::string::npos) << metrics;
    EXPECT_EQ(Sql(db, "SELECT count(*) FROM statuses"), "0");
  }
  web.reset();
  RemoveDatabase(db);
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, WebJournalRestartTest,
    ::testing::Values(
        RestartCase{"Stopped", 540, Break::kStopped},
        RestartCase{"Killed", 541, Break::kKilled},
        RestartCase{"PositionBehind", 542, Break::kPositionBehind},
        RestartCase{"AgedOut", 543, Break::kAgedOut},
        RestartCase{"NewJournal", 544, Break::kNewJournal},
        RestartCase{"ProcessRestart", 545, Break::kProcessRestart}),
    [](const ::testing::TestParamInfo<RestartCase>& info) {
      return std::string(info.param.name);
    });

StoredEvent Row(const std::string& journal, uint64_t sequence, int part = 0,
                const std::string& driver = kDriver) {
  StoredEvent e;
  e.process = "127.0.0.1:60000";
  e.driver = driver;
  e.time = 1710064800.0 + static_cast<double>(sequence);
  e.tag = "ZONE_EXIT";
  e.zone = "Door";
  e.direction = "FORWARD";
  e.type = "person";
  e.result_json = "{}";
  e.journal_id = journal;
  e.sequence = sequence;
  e.part = part;
  return e;
}

StoredPosition Position(const std::string& journal, uint64_t sequence) {
  return {"127.0.0.1:60000", kDriver, journal, sequence};
}

struct Batch {
  std::vector<StoredEvent> events;
  std::vector<StoredPosition> positions;
};

struct AppendCase {
  const char* name;
  std::vector<Batch> batches;  // appended in turn
  std::string rows;            // driver:journal:sequence.part, in order
  std::string hourly;          // the zone exits counted by hour
  std::string position;        // the crowd driver's: "journal sequence"
  const char* setup = "";      // SQL run on the file first
};

TEST(WebJournalStoreTest, AJournalledResultIsStoredOnceAndThePositionWithIt) {
  const std::vector<AppendCase> cases = {
      {"nothing kept: the whole journal is read", {}, "", "", " 0"},
      {"a result twice in one batch",
       {{{Row("A", 1), Row("A", 1, 1), Row("A", 1), Row("A", 1, 1)},
         {Position("A", 1)}}},
       "crowd:A:1.0,crowd:A:1.1",
       "2",
       "A 1"},
      {"a result again in a later batch",
       {{{Row("A", 1)}, {Position("A", 1)}},
        {{Row("A", 1), Row("A", 2)}, {Position("A", 2)}}},
       "crowd:A:1.0,crowd:A:2.0",
       "2",
       "A 2"},
      {"results without a number are all kept",
       {{{Row("", 0), Row("", 0)}, {}}},
       "crowd::0.0,crowd::0.0",
       "2",
       " 0"},
      {"each driver numbers its own",
       {{{Row("A", 1), Row("A", 1, 0, "face")}, {}}},
       "crowd:A:1.0,face:A:1.0",
       "2",
       " 0"},
      {"a new journal numbers from 1 again and replaces the position",
       {{{Row("A", 1), Row("A", 2)}, {Position("A", 2)}},
        {{Row("B", 1)}, {Position("B", 1)}}},
       "crowd:A:1.0,crowd:A:2.0,crowd:B:1.0",
       "3",
       "B 1"},
      {"a position never goes back within its journal",
       {{{}, {Position("A", 9)}}, {{}, {Position("A", 4)}}},
       "",
       "",
       "A 9"},
      {"a position that cannot be written keeps its events out",
       {{{Row("A", 1)}, {Position("A", 1)}},
        {{Row("A", 2), Row("A", 3)}, {Position("A", 3)}}},
       "crowd:A:1.0",
       "1",
       "A 1",
       "CREATE TRIGGER refuse BEFORE UPDATE ON journal_positions WHEN"
       " new.sequence = 3 BEGIN SELECT RAISE(ABORT, 'refused'); END"},
  };
  for (const AppendCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string db = TempPath("append.sqlite");
    RemoveDatabase(db);
    EventStore store;
    std::string error;
    ASSERT_TRUE(store.Open(db, &error)) << error;
    Sql(db, c.setup);
    for (const Batch& b : c.batches)
      store.Append(b.events, {}, b.positions, &error);
    EXPECT_EQ(Sql(db,
                  "SELECT ifnull(group_concat(r), '') FROM (SELECT driver ||"
                  " ':' || journal || ':' || sequence || '.' || part AS r FROM"
                  " events ORDER BY driver, journal, sequence, part)"),
              c.rows);
    EXPECT_EQ(Sql(db, "SELECT ifnull(sum(count), '') FROM hourly_counts"),
              c.hourly);
    std::string journal;
    uint64_t sequence = 99;
    EXPECT_TRUE(store.LoadPosition("127.0.0.1:60000", kDriver, &journal,
                                   &sequence, &error))
        << error;
    EXPECT_EQ(journal + " " + std::to_string(sequence), c.position);
    RemoveDatabase(db);
  }
}

TEST(WebJournalStoreTest, AHistoryOfVersion1IsBroughtUpToDate) {
  const std::string db = TempPath("version1.sqlite");
  RemoveDatabase(db);
  // The tables of version 1, with two exits and their hourly count.
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(
          old,
          "CREATE TABLE schema_version (version INTEGER NOT NULL);"
          "INSERT INTO schema_version VALUES (1);"
          "CREATE TABLE events (id INTEGER PRIMARY KEY, process TEXT NOT NULL,"
          " driver TEXT NOT NULL, time REAL NOT NULL, tag TEXT NOT NULL,"
          " zone TEXT NOT NULL, direction TEXT NOT NULL, speed REAL,"
          " tracking_id INTEGER, type TEXT NOT NULL, result TEXT NOT NULL);"
          "CREATE INDEX events_by_time ON events (time, driver, zone);"
          "CREATE TABLE statuses (id INTEGER PRIMARY KEY, process TEXT NOT"
          " NULL, driver TEXT NOT NULL, time REAL NOT NULL, type TEXT NOT"
          " NULL, message TEXT NOT NULL, uuid TEXT NOT NULL, status TEXT NOT"
          " NULL);"
          "CREATE TABLE hourly_counts (process TEXT NOT NULL, driver TEXT NOT"
          " NULL, tag TEXT NOT NULL, zone TEXT NOT NULL, direction TEXT NOT"
          " NULL, hour INTEGER NOT NULL, count INTEGER NOT NULL, PRIMARY KEY"
          " (process, driver, hour, zone, direction, tag)) WITHOUT ROWID;"
          "CREATE TABLE configurations (process TEXT NOT NULL, driver TEXT"
          " NOT NULL, time REAL NOT NULL, config BLOB NOT NULL, PRIMARY KEY"
          " (process, driver));"
          "INSERT INTO events VALUES (1, '127.0.0.1:60000', 'crowd',"
          " 1710064800, 'ZONE_EXIT', 'Door', 'FORWARD', 1.5, 7, 'person',"
          " '{}'), (2, '127.0.0.1:60000', 'crowd', 1710064900, 'ZONE_EXIT',"
          " 'Door', 'BACKWARD', NULL, 8, 'person', '{}');"
          "INSERT INTO hourly_counts VALUES ('127.0.0.1:60000', 'crowd',"
          " 'ZONE_EXIT', 'Door', 'FORWARD', 475018, 1), ('127.0.0.1:60000',"
          " 'crowd', 'ZONE_EXIT', 'Door', 'BACKWARD', 475018, 1);",
          nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(old);
  for (int open = 0; open < 2; ++open) {  // migrated, then as it is
    SCOPED_TRACE(open == 0 ? "first open" : "second open");
    EventStore store;
    std::string error;
    ASSERT_TRUE(store.Open(db, &error)) << error;
    EXPECT_EQ(Sql(db, "SELECT version FROM schema_version"), "2");
    std::vector<ZoneExitTotal> totals;
    ASSERT_TRUE(store.ZoneExitTotals("127.0.0.1:60000", &totals, &error));
    std::string text;
    for (const ZoneExitTotal& t : totals) {
      text += t.driver + " " + t.zone + " " + t.direction + " " +
              std::to_string(t.count) + ";";
    }
    EXPECT_EQ(text, "crowd Door BACKWARD 1;crowd Door FORWARD " +
                        std::to_string(1 + open) + ";");
    // The old rows unnumbered and whole; a numbered result joins them once.
    EXPECT_TRUE(store.Append({Row("A", 3, 0), Row("A", 3, 0)}, {}, {}, &error))
        << error;
    EXPECT_EQ(Sql(db,
                  "SELECT group_concat(id || ':' || sequence || ':' || journal"
                  " || ':' || ifnull(speed, '-'), ' ') FROM events"),
              "1:0::1.5 2:0::- 3:3:A:-");
  }
  RemoveDatabase(db);
}

}  // namespace
}  // namespace kestu_tools
