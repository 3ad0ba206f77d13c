// kestu-web's event history: results published on a driver's data port
// survive a restart, the counts API answers per bucket, range and direction
// (JSON and CSV), a database that cannot be used ends kestu-web with status
// 1 and is left as it was, and old rows are pruned.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <zmq.hpp>

#include "kestu_tools.pb.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/event_store.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_testing::ReadFile;

constexpr int64_t kMarch10 = 1710028800;  // 2024-03-10T00:00:00Z

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kestu-history-" + std::to_string(getpid()) +
         "-" + name;
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
}

// The first column of the first row of a query, as text.
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value = "(no answer)";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(statement, 0);
      value = text == nullptr ? "" : reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return value;
}

StoredEvent Event(const std::string& driver, int64_t time,
                  const std::string& zone, const std::string& direction,
                  const std::string& tag = "ZONE_EXIT") {
  StoredEvent e;
  e.process = "127.0.0.1:60000";
  e.driver = driver;
  e.time = static_cast<double>(time);
  e.tag = tag;
  e.zone = zone;
  e.direction = direction;
  e.type = "person";
  e.result_json = "{}";
  return e;
}

void WriteEvents(const std::string& path,
                 const std::vector<StoredEvent>& events,
                 const std::vector<StoredStatus>& statuses = {}) {
  EventStore store;
  std::string error;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  ASSERT_TRUE(store.Append(events, statuses, &error)) << error;
}

// Rows of a counts answer as "start driver tag zone direction count;...".
std::string Rows(const std::string& json) {
  kestu::tools::CountsAnswer answer;
  if (!google::protobuf::util::JsonStringToMessage(json, &answer).ok())
    return "(not JSON)";
  std::string rows;
  for (const auto& r : answer.rows()) {
    if (!rows.empty()) rows += ";";
    rows += r.start() + " " + r.driver() + " " + r.tag() + " " + r.zone() +
            " " + r.direction() + " " + std::to_string(r.count());
  }
  return rows;
}

VisionResult ZoneExit(int64_t time, const std::string& zone,
                      v1::ZoneDirection direction, int track) {
  VisionResult result;
  result.set_uuid("a1b2c3d4-0000-4000-8000-00000000000" +
                  std::to_string(track % 10));
  auto* detection = result.add_rect_detection();
  detection->set_type("person");
  detection->set_tracking_id(track);
  auto* event = result.add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_zone_name(zone);
  event->set_zone_direction(direction);
  event->set_tracking_id(track);
  event->set_speed(1.25f);
  event->mutable_timestamp()->set_seconds(time);
  return result;
}

TEST(WebHistoryTest, ResultsOfADriverAreKeptAcrossARestart) {
  const int base = PortBlock(554);
  const std::string database = TempPath("restart.sqlite");
  RemoveDatabase(database);
  // The crowd driver's status and data ports, published on as it does.
  zmq::context_t context(1);
  zmq::socket_t status(context, zmq::socket_type::pub);
  zmq::socket_t data(context, zmq::socket_type::pub);
  status.bind(Endpoint("127.0.0.1", base + 9 + 2));
  data.bind(Endpoint("127.0.0.1", base + 9 + 3));
  const std::string query =
      "/api/counts?driver=crowd&from=" + std::to_string(kMarch10) +
      "&to=" + std::to_string(kMarch10 + 86400) + "&bucket=hour&zone=Door";
  const std::vector<std::string> flags = {"--database=" + database,
                                          "--retention_days=0"};
  std::string before;
  {
    WebProcess web(base + 17, {Address(base)}, flags);
    ASSERT_TRUE(web.Started());
    httplib::Client client("127.0.0.1", web.port());
    Status started;
    started.set_type(Status::STARTED);
    ASSERT_TRUE(PollUntil(
        [&] {
          const std::string bytes = started.SerializeAsString();
          status.send(zmq::buffer(bytes), zmq::send_flags::none);
          const auto state = GetState(client);
          return state.processes_size() == 1 &&
                 state.processes(0).drivers(2).last_status().type() ==
                     Status::STARTED;
        },
        kWait, milliseconds(50)));
    // Ten exits, 10:00 to 11:30, one every ten minutes.
    for (int i = 0; i < 10; ++i) {
      const std::string bytes =
          ZoneExit(kMarch10 + 10 * 3600 + i * 600, "Door",
                   i % 3 == 0 ? v1::BACKWARD : v1::FORWARD, i)
              .SerializeAsString();
      data.send(zmq::buffer(bytes), zmq::send_flags::none);
    }
    ASSERT_TRUE(PollUntil(
        [&] {
          before = Rows(Get(client, query));
          return before ==
                 "2024-03-10T10:00:00Z crowd ZONE_EXIT Door BACKWARD 2;"
                 "2024-03-10T10:00:00Z crowd ZONE_EXIT Door FORWARD 4;"
                 "2024-03-10T11:00:00Z crowd ZONE_EXIT Door BACKWARD 2;"
                 "2024-03-10T11:00:00Z crowd ZONE_EXIT Door FORWARD 2";
        },
        kWait))
        << before;
    ASSERT_TRUE(web.child().Signal(SIGTERM));
    EXPECT_EQ(web.child().Wait(kWait), 0) << web.child().Stderr();
  }
  EXPECT_EQ(Query(database, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(Query(database, "SELECT version FROM schema_version"), "2");
  EXPECT_EQ(Query(database, "SELECT count(*) FROM events"), "10");
  EXPECT_EQ(Query(database, "SELECT speed FROM events LIMIT 1"), "1.25");
  EXPECT_NE(Query(database, "SELECT result FROM events WHERE tracking_id = 3")
                .find("\"zoneName\":\"Door\""),
            std::string::npos);
  EXPECT_NE(
      Query(database, "SELECT count(*) FROM statuses WHERE type = 'STARTED'"),
      "0");
  // The same counts from the file alone, nothing published meanwhile.
  WebProcess again(base + 17, {Address(base)}, flags);
  ASSERT_TRUE(again.Started());
  httplib::Client client("127.0.0.1", again.port());
  EXPECT_EQ(Rows(Get(client, query)), before);
  RemoveDatabase(database);
}

struct CountsCase {
  const char* name;
  std::string query;
  int status;
  std::string rows;  // or, for an error, a part of its text
};

TEST(WebHistoryTest, CountsPerBucketRangeAndDirection) {
  const std::string database = TempPath("counts.sqlite");
  RemoveDatabase(database);
  const int64_t day = kMarch10, h = 3600;
  WriteEvents(
      database,
      {Event("crowd", day + 10 * h + 15 * 60, "Door", "FORWARD"),
       Event("crowd", day + 10 * h + 15 * 60 + 30, "Door", "FORWARD"),
       Event("crowd", day + 10 * h + 20 * 60, "Door", "BACKWARD"),
       Event("crowd", day + 10 * h + 40 * 60, "Area #1", "", "AREA_ENTER"),
       Event("crowd", day + 11 * h - 1, "Door", "FORWARD"),
       Event("crowd", day + 11 * h, "Door", "FORWARD"),
       Event("crowd", day + 23 * h + 30 * 60, "Door", "FORWARD"),
       Event("crowd", day + 33 * h, "Hall", "FORWARD"),
       Event("vehicle", day + 10 * h + 30 * 60, "=Lane, \"1\"", "BACKWARD")});
  WebProcess web(PortBlock(555) + 17, {Address(PortBlock(555))},
                 {"--database=" + database, "--retention_days=0"});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  const std::string range =
      "&from=2024-03-10T10:00:00Z&to=2024-03-10T12:00:00Z";
  const std::vector<CountsCase> cases = {
      {"hours of one zone", "driver=crowd&zone=Door" + range, 200,
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door FORWARD 3;"
       "2024-03-10T11:00:00Z crowd ZONE_EXIT Door FORWARD 1"},
      {"whole hours and the halves either side",
       "driver=crowd&zone=Door"
       "&from=2024-03-10T09:30:00Z&to=2024-03-10T11:30:00Z",
       200,
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door FORWARD 3;"
       "2024-03-10T11:00:00Z crowd ZONE_EXIT Door FORWARD 1"},
      {"within one hour, cut at half past",
       "driver=crowd&zone=Door&from=2024-03-10T10:30:00Z"
       "&to=2024-03-10T11:30:00Z",
       200,
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door FORWARD 1;"
       "2024-03-10T11:00:00Z crowd ZONE_EXIT Door FORWARD 1"},
      {"every driver and tag", "bucket=hour" + range, 200,
       "2024-03-10T10:00:00Z crowd AREA_ENTER Area #1  1;"
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T10:00:00Z crowd ZONE_EXIT Door FORWARD 3;"
       "2024-03-10T10:00:00Z vehicle ZONE_EXIT =Lane, \"1\" BACKWARD 1;"
       "2024-03-10T11:00:00Z crowd ZONE_EXIT Door FORWARD 1"},
      {"minutes",
       "bucket=minute&driver=crowd&from=2024-03-10T10:15:00Z"
       "&to=2024-03-10T10:21:00Z",
       200,
       "2024-03-10T10:15:00Z crowd ZONE_EXIT Door FORWARD 2;"
       "2024-03-10T10:20:00Z crowd ZONE_EXIT Door BACKWARD 1"},
      {"minutes from a time with an offset",
       "bucket=minute&driver=crowd&tag=ZONE_EXIT"
       "&from=2024-03-10T11:15:00%2B01:00&to=" +
           std::to_string(day + 10 * h + 16 * 60),
       200, "2024-03-10T10:15:00Z crowd ZONE_EXIT Door FORWARD 2"},
      {"days",
       "bucket=day&driver=crowd&tag=ZONE_EXIT&from=2024-03-10&to=2024-03-12",
       200,
       "2024-03-10T00:00:00Z crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T00:00:00Z crowd ZONE_EXIT Door FORWARD 5;"
       "2024-03-11T00:00:00Z crowd ZONE_EXIT Hall FORWARD 1"},
      {"local days an hour east",
       "bucket=day&driver=crowd&tag=ZONE_EXIT&utc_offset=60"
       "&from=2024-03-10&to=2024-03-12",
       200,
       "2024-03-10T00:00:00+01:00 crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T00:00:00+01:00 crowd ZONE_EXIT Door FORWARD 4;"
       "2024-03-11T00:00:00+01:00 crowd ZONE_EXIT Door FORWARD 1;"
       "2024-03-11T00:00:00+01:00 crowd ZONE_EXIT Hall FORWARD 1"},
      {"local days half an hour west",
       "bucket=day&driver=crowd&zone=Door&utc_offset=-30"
       "&from=2024-03-10&to=2024-03-11",
       200,
       "2024-03-10T00:00:00-00:30 crowd ZONE_EXIT Door BACKWARD 1;"
       "2024-03-10T00:00:00-00:30 crowd ZONE_EXIT Door FORWARD 5"},
      {"an unknown zone", "zone=Nowhere" + range, 200, ""},
      {"an unknown process", "process=10.0.0.9:60000" + range, 200, ""},
      {"a bucket of a week", "bucket=week" + range, 400,
       "bucket must be minute, hour or day"},
      {"from after to", "from=2024-03-11&to=2024-03-10", 400,
       "from must be before to"},
      {"a time that does not read", "from=yesterday", 400,
       "from does not read"},
      {"31 February", "from=2024-02-31&to=2024-03-10", 400,
       "from does not read"},
      {"an offset beyond 14 hours", "utc_offset=900" + range, 400,
       "utc_offset"},
      {"too many buckets", "bucket=minute&from=2024-01-01&to=2024-06-01", 400,
       "more than 100000 buckets"},
  };
  for (const CountsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto response = client.Get(("/api/counts?" + c.query).c_str());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status) << response->body;
    if (c.status == 200) {
      EXPECT_EQ(Rows(response->body), c.rows);
    } else {
      EXPECT_NE(response->body.find(c.rows), std::string::npos)
          << response->body;
    }
  }
  // The CSV of the same rows: a text that looks like a formula is kept
  // from being one, quotes and commas are quoted.
  const auto csv = client.Get(
      "/api/counts.csv?driver=vehicle&from=2024-03-10&to=2024-03-11");
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
  EXPECT_EQ(csv->body,
            "start,epoch,process,driver,tag,zone,direction,count\r\n"
            "2024-03-10T10:00:00Z,1710064800,127.0.0.1:60000,vehicle,ZONE_EXIT,"
            "\"'=Lane, \"\"1\"\"\",BACKWARD,1\r\n");
  RemoveDatabase(database);
}

struct BadDatabase {
  const char* name;
  std::string path;
  std::string (*make)(const std::string& path);  // returns the file's bytes
  std::string message;
};

std::string Garbage(const std::string& path) {
  std::string bytes;
  for (int i = 0; i < 200; ++i) bytes += "this is not a database at all. ";
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}

std::string DamagedPages(const std::string& path) {
  std::vector<StoredEvent> events;
  for (int i = 0; i < 3000; ++i)
    events.push_back(Event("crowd", kMarch10 + i, "Door", "FORWARD"));
  WriteEvents(path, events);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 * 5);
    file << std::string(300, '\xff');
  }
  return ReadFile(path);
}

// Runs SQL on a database outside kestu-web; the file's bytes after it.
std::string Execute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return ReadFile(path);
}

std::string SomeoneElses(const std::string& path) {
  return Execute(path,
                 "CREATE TABLE shopping (item TEXT); INSERT INTO shopping "
                 "VALUES ('milk')");
}

std::string Newer(const std::string& path) {
  WriteEvents(path, {});
  return Execute(
      path,
      "PRAGMA journal_mode=DELETE; UPDATE schema_version SET version = 3");
}

std::string Folder(const std::string& path) {
  mkdir(path.c_str(), 0755);
  return "";
}

std::string Nothing(const std::string&) { return ""; }

TEST(WebHistoryTest, DatabaseThatCannotBeUsedEndsKestuWebAndIsLeftAsItWas) {
  const std::vector<BadDatabase> cases = {
      {"not a database", TempPath("garbage.sqlite"), Garbage,
       "is damaged or not an SQLite database"},
      {"damaged pages", TempPath("damaged.sqlite"), DamagedPages,
       "is damaged ("},
      {"another program's", TempPath("shopping.sqlite"), SomeoneElses,
       "but not kestu-web's"},
      {"a newer schema", TempPath("newer.sqlite"), Newer,
       "has schema version 3; this kestu-web reads versions 1 to 2"},
      {"a folder", TempPath("folder"), Folder, "cannot"},
      {"in a folder that is not there",
       "/nonexistent-kestu-folder/history.sqlite", Nothing,
       "cannot open the database /nonexistent-kestu-folder/history.sqlite"},
  };
  for (const BadDatabase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = c.make(c.path);
    ChildProcess web(
        kWeb, {"--http_port=" + std::to_string(PortBlock(556) + 17),
               "--process", Address(PortBlock(556)), "--database=" + c.path});
    EXPECT_EQ(web.Wait(kWait), 1);
    EXPECT_NE(web.Stderr().find(c.message), std::string::npos) << web.Stderr();
    EXPECT_EQ(web.Stderr().find("serving"), std::string::npos);
    if (!bytes.empty()) {
      EXPECT_TRUE(ReadFile(c.path) == bytes) << "the file was changed";
    }
    std::system(("rm -rf '" + c.path + "'").c_str());
  }
}

TEST(WebHistoryTest, RowsOlderThanTheRetentionArePruned) {
  const std::string database = TempPath("retention.sqlite");
  RemoveDatabase(database);
  const int64_t now = static_cast<int64_t>(time(nullptr));
  StoredStatus old_status, new_status;
  old_status.process = new_status.process = "127.0.0.1:60000";
  old_status.driver = new_status.driver = "crowd";
  old_status.type = new_status.type = "CAMERA_DISCONNECTED";
  old_status.time = static_cast<double>(now - 10 * 86400);
  new_status.time = static_cast<double>(now - 60);
  WriteEvents(database,
              {Event("crowd", now - 10 * 86400, "Door", "FORWARD"),
               Event("crowd", now - 8 * 86400, "Door", "BACKWARD"),
               Event("crowd", now - 3600, "Door", "FORWARD")},
              {old_status, new_status});
  WebProcess web(PortBlock(557) + 17, {Address(PortBlock(557))},
                 {"--database=" + database, "--retention_days=7"});
  ASSERT_TRUE(web.Started());
  ASSERT_TRUE(web.child().WaitForStderr("pruned", kWait))
      << web.child().Stderr();
  EXPECT_EQ(Query(database, "SELECT count(*) FROM events"), "1");
  EXPECT_EQ(Query(database, "SELECT count(*) FROM statuses"), "1");
  EXPECT_EQ(Query(database, "SELECT sum(count) FROM hourly_counts"), "1");
  httplib::Client client("127.0.0.1", web.port());
  const std::string rows =
      Rows(Get(client, "/api/counts?bucket=day&driver=crowd"));
  EXPECT_NE(rows.find("Door FORWARD 1"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("BACKWARD"), std::string::npos) << rows;
  RemoveDatabase(database);
}

}  // namespace
}  // namespace kestu_tools
