// The detections file: record, atomic write, replay and the replay index.
#include "src/driver/detection_file.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "tests/src/driver/recording_test_util.h"

namespace vostek_kestu {
namespace {

using google::protobuf::util::MessageDifferencer;
using recording_testing::Journal;
using recording_testing::ScratchDirectory;
using ::talvenrook::vision::v1::TRACKING_END;
using ::talvenrook::vision::v1::TRACKING_START;

const std::set<EventTag> kFaceTags = {TRACKING_END};

void AddDetection(VisionResult* result, uint64_t track, float x) {
  auto* detection = result->add_rect_detection();
  detection->set_tracking_id(track);
  detection->set_uuid("detection-" + std::to_string(track));
  detection->mutable_location()->set_x(x);
}

void AddEvent(VisionResult* result, EventTag tag, uint64_t track) {
  auto* event = result->add_vision_event();
  event->set_tag(tag);
  event->set_tracking_id(track);
}

// 100 frames; every tenth has a detection of track frame / 10.
VisionResultList RecordRun() {
  VisionResultList record;
  for (int frame = 0; frame < 100; ++frame) {
    VisionResult result;
    result.set_uuid("frame-uuid");
    result.mutable_frame_data()->set_id(frame);
    if (frame % 10 == 0) AddDetection(&result, frame / 10, 1.0f * frame);
    AppendToDetectionRecord(result, &record);
  }
  return record;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class DetectionFileTest : public ::testing::Test {
 protected:
  ScratchDirectory directory_;
  Journal journal_;
  VisionResultList replay_;
  ReplayIndex index_;
};

TEST_F(DetectionFileTest, RecordedRunRoundTripsWithEmptyUuids) {
  const VisionResultList record = RecordRun();
  ASSERT_EQ(record.vision_results_size(), 100);
  for (const auto& result : record.vision_results()) {
    EXPECT_EQ(result.uuid(), "");
    for (const auto& detection : result.rect_detection()) {
      EXPECT_EQ(detection.uuid(), "");
    }
  }
  const std::string path = directory_.File("run.pb");
  ASSERT_TRUE(WriteDetectionsFile(record, path));
  EXPECT_GE(journal_.IndexOf("log: Saving 100 frames"), 0);
  // Only the file itself is left in the directory.
  int files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(directory_.path())) {
    EXPECT_EQ(entry.path().string(), path);
    ++files;
  }
  EXPECT_EQ(files, 1);

  ASSERT_TRUE(LoadReplayFile(path, kFaceTags, &replay_, &index_));
  EXPECT_TRUE(MessageDifferencer::Equals(replay_, record));
  EXPECT_TRUE(index_.empty());  // no events in this run
}

TEST_F(DetectionFileTest, FailedWriteIsReportedAndLeavesNoTemporaryFile) {
  const VisionResultList record = RecordRun();
  EXPECT_FALSE(WriteDetectionsFile(record, directory_.File("missing/run.pb")));
  EXPECT_GE(journal_.IndexOf("log: Error trying to create detections file"), 0);

  // A directory in the way: the temporary file is written, the rename fails.
  const std::string blocked = directory_.File("blocked");
  std::filesystem::create_directory(blocked);
  std::filesystem::create_directory(blocked + "/inside");
  EXPECT_FALSE(WriteDetectionsFile(record, blocked));
  EXPECT_GE(journal_.IndexOf("log: Error trying to write detections file: " +
                             blocked),
            0);
  int entries = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(directory_.path())) {
    EXPECT_EQ(entry.path().string(), blocked);
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

struct BadFileCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  const char* error_prefix;
};
void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }

class BadReplayFileTest : public DetectionFileTest,
                          public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(BadReplayFileTest, IsReportedAndLeavesEverythingEmpty) {
  const std::string path = directory_.File("replay.pb");
  GetParam().make(path);
  // Left-overs of an earlier load must not survive a failed one.
  AddEvent(&index_[99], TRACKING_END, 99);
  replay_.add_vision_results();
  EXPECT_FALSE(LoadReplayFile(path, kFaceTags, &replay_, &index_));
  EXPECT_GE(
      journal_.IndexOf("log: " + std::string(GetParam().error_prefix) + path),
      0)
      << ::testing::PrintToString(journal_.Entries());
  EXPECT_EQ(replay_.vision_results_size(), 0);
  EXPECT_TRUE(index_.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadReplayFileTest,
    ::testing::Values(BadFileCase{"Missing", [](const std::string&) {},
                                  "Unable to open detections file: "},
                      // A torn last record is read past (see
                      // detection_records_test.cc); a whole record that
                      // does not parse is not.
                      BadFileCase{"WholeRecordThatDoesNotParse",
                                  [](const std::string& path) {
                                    VisionResultList list;
                                    VisionResult result;
                                    AddDetection(&result, 5, 2.0f);
                                    AddEvent(&result, TRACKING_END, 5);
                                    *list.add_vision_results() = result;
                                    WriteBytes(path, list.SerializeAsString() +
                                                         "\x0a\x02\xff\xff");
                                  },
                                  "Unable to parse detections file: "},
                      BadFileCase{"Garbage",
                                  [](const std::string& path) {
                                    WriteBytes(path, "not a detections file\n");
                                  },
                                  "Unable to parse detections file: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DetectionFileTest, ReplayIndexGathersEachPublishedTrack) {
  VisionResultList list;
  {
    // Track 5 ends with two detections of its own and one of track 6.
    VisionResult* result = list.add_vision_results();
    result->mutable_frame_data()->set_id(41);
    AddDetection(result, 5, 1.0f);
    AddDetection(result, 6, 2.0f);
    AddDetection(result, 5, 3.0f);
    AddEvent(result, TRACKING_END, 5);
    AddEvent(result, TRACKING_START, 6);  // not a published tag
  }
  {
    // A later frame ends track 5 again with one more detection.
    VisionResult* result = list.add_vision_results();
    result->mutable_frame_data()->set_id(42);
    AddDetection(result, 5, 4.0f);
    AddEvent(result, TRACKING_END, 5);
  }
  const std::string path = directory_.File("replay.pb");
  ASSERT_TRUE(WriteDetectionsFile(list, path));

  // Loaded twice, as with two configurations: the index is rebuilt, not
  // merged into again.
  for (int load = 0; load < 2; ++load) {
    ASSERT_TRUE(LoadReplayFile(path, kFaceTags, &replay_, &index_));
    EXPECT_EQ(replay_.vision_results_size(), 2);
    ASSERT_EQ(index_.size(), 1u) << "load " << load;
    const VisionResult& entry = index_.at(5);
    ASSERT_EQ(entry.rect_detection_size(), 3) << "load " << load;
    EXPECT_EQ(entry.rect_detection(0).location().x(), 1.0f);
    EXPECT_EQ(entry.rect_detection(1).location().x(), 3.0f);
    EXPECT_EQ(entry.rect_detection(2).location().x(), 4.0f);
    ASSERT_EQ(entry.vision_event_size(), 2);
    EXPECT_EQ(entry.vision_event(0).tag(), TRACKING_END);
    EXPECT_EQ(entry.frame_data().id(), 42u);  // the later frame's
  }
}

}  // namespace
}  // namespace vostek_kestu
