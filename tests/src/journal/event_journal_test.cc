// The event journal on real files: numbers that go on across reopening, a
// torn end cut off, pages and gaps, retention, totals.
#include "src/journal/event_journal.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vostek_kestu {
namespace {

using ::talvenrook::vision::v1::BACKWARD;
using ::talvenrook::vision::v1::FORWARD;
using ::talvenrook::vision::v1::VisionResult;
using ::talvenrook::vision::v1::ZONE_ENTER;
using ::talvenrook::vision::v1::ZONE_EXIT;
using ::talvenrook::vision::v1::ZoneDirection;

class EventJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/kestu-journal-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    root_ = folder;
    options_ = JournalOptions();
    options_.folder = root_ + "/journal";
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

  std::unique_ptr<EventJournal> Open() {
    std::string error;
    auto journal = EventJournal::Open(options_, &error);
    EXPECT_NE(journal, nullptr) << error;
    return journal;
  }

  static VisionResult Exit(const std::string& zone, ZoneDirection direction,
                           float speed, const std::string& uuid = "") {
    VisionResult result;
    auto* event = result.add_vision_event();
    event->set_tag(ZONE_EXIT);
    event->set_zone_name(zone);
    event->set_zone_direction(direction);
    event->set_speed(speed);
    result.set_uuid(uuid);
    return result;
  }

  // Appends `count` results whose uuids are their order of writing.
  static void AppendMany(EventJournal* journal, int count) {
    for (int i = 0; i < count; ++i) {
      VisionResult result;
      result.add_vision_event()->set_tag(ZONE_ENTER);
      result.set_uuid("r" + std::to_string(journal->last_sequence() + 1));
      std::string error;
      ASSERT_TRUE(journal->Append(&result, &error)) << error;
    }
  }

  // Every result after `after`, page by page.
  static std::vector<uint64_t> ReadAll(const EventJournal& journal,
                                       uint64_t after, uint32_t page,
                                       JournalReply* first_reply = nullptr) {
    std::vector<uint64_t> numbers;
    for (int pages = 0; pages < 1000; ++pages) {
      const JournalReply reply = journal.Read(after, page, false);
      if (first_reply != nullptr && pages == 0) *first_reply = reply;
      if (reply.result_size() == 0 && reply.gap_to() <= after) break;
      if (reply.gap_to() > after) after = reply.gap_to();
      for (const auto& result : reply.result()) {
        EXPECT_EQ(result.uuid(), "r" + std::to_string(result.sequence()));
        numbers.push_back(result.sequence());
        after = result.sequence();
      }
    }
    return numbers;
  }

  static std::vector<uint64_t> Range(uint64_t from, uint64_t to) {
    std::vector<uint64_t> numbers;
    for (uint64_t n = from; n <= to; ++n) numbers.push_back(n);
    return numbers;
  }

  std::vector<std::string> SegmentPaths() const {
    std::vector<std::string> paths;
    for (const auto& segment : ListSegments(options_.folder)) {
      paths.push_back(segment.path);
    }
    return paths;
  }

  std::string root_;
  JournalOptions options_;
};

TEST_F(EventJournalTest, NumbersGoOnAcrossReopeningAndPagesReadEverything) {
  struct Case {
    int64_t segment_bytes;
    uint32_t page;
  };
  for (const Case& c : {Case{int64_t{16} << 20, 0}, Case{200, 7}, Case{1000, 1},
                        Case{50, 500}}) {
    SCOPED_TRACE("segment " + std::to_string(c.segment_bytes) + " page " +
                 std::to_string(c.page));
    TearDown();
    SetUp();
    options_.segment_bytes = c.segment_bytes;
    std::string id;
    {
      auto journal = Open();
      id = journal->id();
      AppendMany(journal.get(), 40);
    }
    auto journal = Open();
    EXPECT_EQ(journal->id(), id);
    EXPECT_EQ(journal->last_sequence(), 40u);
    AppendMany(journal.get(), 25);
    EXPECT_EQ(ReadAll(*journal, 0, c.page), Range(1, 65));
    EXPECT_EQ(ReadAll(*journal, 33, c.page), Range(34, 65));
    EXPECT_TRUE(ReadAll(*journal, 65, c.page).empty());
    const JournalReply position = journal->Read(10, 0, true);
    EXPECT_EQ(position.result_size(), 0);
    EXPECT_EQ(position.first_sequence(), 1u);
    EXPECT_EQ(position.last_sequence(), 65u);
  }
}

TEST_F(EventJournalTest, TornOrDamagedEndIsCutAndItsNumberGivenAgain) {
  // What a kill or a bad sector leaves after the last whole record.
  const std::vector<std::pair<std::string, std::string>> tails = {
      {"half a header", std::string("\x20\x00\x00", 3)},
      {"header without its payload",
       std::string("\x10\x00\x00\x00\x01\x02\x03\x04", 8) +
           std::string(16, '\0')},
      {"record with a wrong check",
       EncodeJournalRecord({11, 0, "payload"}).replace(4, 1, "\x7f")},
  };
  for (const auto& [name, tail] : tails) {
    SCOPED_TRACE(name);
    TearDown();
    SetUp();
    { AppendMany(Open().get(), 10); }
    const std::string last = SegmentPaths().back();
    {
      std::ofstream out(last, std::ios::binary | std::ios::app);
      out << tail;
    }
    auto journal = Open();
    EXPECT_EQ(journal->last_sequence(), 10u);
    AppendMany(journal.get(), 3);
    EXPECT_EQ(ReadAll(*journal, 0, 0), Range(1, 13));
  }
}

TEST_F(EventJournalTest, SizeBoundDropsOldestSegmentsAndReadsReportTheGap) {
  options_.segment_bytes = 300;
  options_.max_bytes = 1000;
  auto journal = Open();
  AppendMany(journal.get(), 100);
  std::string error;
  ASSERT_TRUE(journal->Sync(&error)) << error;
  EXPECT_LE(journal->size_bytes(), 1000 + 300);
  const uint64_t first = journal->first_sequence();
  ASSERT_GT(first, 1u);
  JournalReply reply;
  const std::vector<uint64_t> read = ReadAll(*journal, 0, 0, &reply);
  EXPECT_EQ(reply.gap_from(), 1u);
  EXPECT_EQ(reply.gap_to(), first - 1);
  EXPECT_EQ(read, Range(first, 100));
}

TEST_F(EventJournalTest, SegmentsOlderThanRetentionGoButNeverTheCurrentOne) {
  options_.segment_bytes = 200;
  options_.retention_days = 30;
  auto journal = Open();
  AppendMany(journal.get(), 30);
  const std::vector<std::string> paths = SegmentPaths();
  ASSERT_GT(paths.size(), 3u);
  // Every segment written 31 days ago: all but the current one go.
  const time_t old = time(nullptr) - 31 * 24 * 3600;
  for (const std::string& path : paths) {
    struct utimbuf times = {old, old};
    utime(path.c_str(), &times);
  }
  std::string error;
  ASSERT_TRUE(journal->Sync(&error)) << error;
  EXPECT_EQ(SegmentPaths(), std::vector<std::string>{paths.back()});
  AppendMany(journal.get(), 2);
  EXPECT_EQ(journal->last_sequence(), 32u);
}

TEST_F(EventJournalTest, TotalsCountEveryExitAcrossReopeningWithOrWithoutSync) {
  for (const bool synced : {true, false}) {
    SCOPED_TRACE(synced ? "synced" : "killed before the sync");
    TearDown();
    SetUp();
    std::string error;
    {
      auto journal = Open();
      for (int i = 0; i < 5; ++i) {
        VisionResult forward = Exit("Walkway", FORWARD, 1.0f);
        ASSERT_TRUE(journal->Append(&forward, &error));
      }
      VisionResult backward = Exit("Walkway", BACKWARD, 3.0f);
      ASSERT_TRUE(journal->Append(&backward, &error));
      ASSERT_TRUE(journal->Sync(&error));
      VisionResult after = Exit("Door", FORWARD, 2.5f);
      ASSERT_TRUE(journal->Append(&after, &error));
      if (synced) {
        ASSERT_TRUE(journal->Sync(&error));
      }
      // Without a sync the destructor syncs; what a kill leaves is the
      // totals file of the first sync and the records after it.
      if (!synced) {
        const std::string totals = options_.folder + "/totals.pb";
        std::ifstream in(totals, std::ios::binary);
        std::string saved((std::istreambuf_iterator<char>(in)), {});
        journal.reset();
        std::ofstream out(totals, std::ios::binary | std::ios::trunc);
        out << saved;
      }
    }
    auto journal = Open();
    std::map<std::pair<std::string, int>, std::pair<int64_t, double>> totals;
    for (const ZoneTotal& total : journal->Totals()) {
      totals[{total.zone_name(), total.direction()}] = {total.count(),
                                                        total.speed_sum()};
    }
    const std::map<std::pair<std::string, int>, std::pair<int64_t, double>>
        expected = {{{"Walkway", FORWARD}, {5, 5.0}},
                    {{"Walkway", BACKWARD}, {1, 3.0}},
                    {{"Door", FORWARD}, {1, 2.5}}};
    EXPECT_EQ(totals, expected);
  }
}

TEST_F(EventJournalTest, NewFolderIsANewJournalStartingFromOne) {
  std::string first_id;
  {
    auto journal = Open();
    first_id = journal->id();
    AppendMany(journal.get(), 5);
  }
  std::system(("rm -rf " + options_.folder).c_str());
  auto journal = Open();
  EXPECT_NE(journal->id(), first_id);
  EXPECT_EQ(journal->last_sequence(), 0u);
  AppendMany(journal.get(), 1);
  EXPECT_EQ(journal->last_sequence(), 1u);
}

TEST_F(EventJournalTest, FolderThatCannotBeMadeIsAnError) {
  options_.folder = "/proc/kestu-journal";
  std::string error;
  EXPECT_EQ(EventJournal::Open(options_, &error), nullptr);
  EXPECT_NE(error.find("/proc/"), std::string::npos) << error;
}

}  // namespace
}  // namespace vostek_kestu
