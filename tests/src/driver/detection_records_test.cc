// The detections file record by record: the records' encoding, files torn
// by a kill read up to their last whole record, and the stream that writes
// them as a run goes.
#include "src/driver/detection_records.h"

#include <fstream>
#include <string>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "src/driver/detection_file.h"
#include "src/driver/detection_stream.h"
#include "tests/src/driver/recording_test_util.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using google::protobuf::util::MessageDifferencer;
using recording_testing::Journal;
using recording_testing::ScratchDirectory;
using ::talvenrook::vision::v1::TRACKING_END;

// Three results; the second is over 127 bytes, so that its size takes two
// varint bytes.
VisionResultList ThreeResults() {
  VisionResultList list;
  for (int frame = 0; frame < 3; ++frame) {
    VisionResult* result = list.add_vision_results();
    result->mutable_frame_data()->set_id(frame);
    const int boxes = frame == 1 ? 12 : 1;
    for (int i = 0; i < boxes; ++i) {
      auto* detection = result->add_rect_detection();
      detection->set_tracking_id(7);
      detection->mutable_location()->set_x(1.5f * i);
    }
    auto* event = result->add_vision_event();
    event->set_tag(TRACKING_END);
    event->set_tracking_id(7);
  }
  return list;
}

std::string RecordOf(const VisionResult& result) {
  std::string bytes;
  AppendDetectionRecord(result, &bytes);
  return bytes;
}

TEST(DetectionRecordsTest, RecordsMakeTheSerialisedList) {
  const VisionResultList list = ThreeResults();
  std::string records;
  for (const auto& result : list.vision_results()) {
    AppendDetectionRecord(result, &records);
  }
  EXPECT_EQ(records, list.SerializeAsString());
  EXPECT_GT(RecordOf(list.vision_results(1)).size(), 130u);
}

struct TornCase {
  const char* name;
  // Bytes of the second record kept after the first; below zero, counted
  // from its end.
  int kept;
  int whole;  // records read
};

void PrintTo(const TornCase& c, std::ostream* os) { *os << c.name; }

class TornFileTest : public ::testing::TestWithParam<TornCase> {
 protected:
  ScratchDirectory directory_;
  Journal journal_;
};

TEST_P(TornFileTest, IsReadUpToItsLastWholeRecord) {
  const VisionResultList list = ThreeResults();
  const std::string second = RecordOf(list.vision_results(1));
  const int kept = GetParam().kept < 0
                       ? static_cast<int>(second.size()) + GetParam().kept
                       : GetParam().kept;
  const std::string bytes =
      RecordOf(list.vision_results(0)) + second.substr(0, kept);
  const size_t torn = GetParam().whole == 2 ? 0 : kept;

  VisionResultList read;
  size_t torn_bytes = 99;
  ASSERT_TRUE(ParseDetectionRecords(bytes, &read, &torn_bytes));
  EXPECT_EQ(torn_bytes, torn);
  ASSERT_EQ(read.vision_results_size(), GetParam().whole);
  for (int i = 0; i < GetParam().whole; ++i) {
    EXPECT_TRUE(MessageDifferencer::Equals(read.vision_results(i),
                                           list.vision_results(i)))
        << i;
  }

  // The replay reads the same and says once what it left out.
  const std::string path = directory_.File("torn.pb");
  std::ofstream(path, std::ios::binary) << bytes;
  VisionResultList replay;
  ReplayIndex index;
  ASSERT_TRUE(LoadReplayFile(path, {TRACKING_END}, &replay, &index));
  EXPECT_EQ(replay.vision_results_size(), GetParam().whole);
  EXPECT_EQ(index.count(7), 1u);
  int notes = 0;
  for (const std::string& entry : journal_.Entries()) {
    if (entry.find("ignored a torn") == std::string::npos) continue;
    ++notes;
    EXPECT_EQ(entry, "log: Detections file " + path +
                         ": ignored a torn last record of " +
                         std::to_string(torn) + " bytes");
  }
  EXPECT_EQ(notes, torn > 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, TornFileTest,
    ::testing::Values(
        TornCase{"NoTail", 0, 1}, TornCase{"CutAfterTheTag", 1, 1},
        TornCase{"CutInsideTheSize", 2, 1}, TornCase{"CutAfterTheSize", 3, 1},
        TornCase{"CutInsideTheResult", 20, 1}, TornCase{"OneByteShort", -1, 1},
        TornCase{"Whole", 1 << 20, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DetectionRecordsTest, BytesThatAreNoRecordsAreRefused) {
  const std::string first = RecordOf(ThreeResults().vision_results(0));
  for (const std::string& bytes : {
           first + "\x0a\x02\xff\xff",  // a whole record that does not parse
           first + "\x12\x05" + "ab",   // another field, torn
           std::string("not a detections file\n"),
           first + std::string(11, '\xff'),  // no tag
       }) {
    VisionResultList read;
    read.add_vision_results();
    size_t torn = 0;
    EXPECT_FALSE(ParseDetectionRecords(bytes, &read, &torn))
        << ::testing::PrintToString(bytes);
    EXPECT_EQ(read.vision_results_size(), 0);
  }
}

TEST(DetectionStreamTest, WritesWithinTheIntervalAndEverythingAtClose) {
  ScratchDirectory directory;
  const std::string path = directory.File("stream.pb");
  const VisionResultList list = ThreeResults();
  DetectionStream stream(std::chrono::milliseconds(50));
  ASSERT_TRUE(stream.Open(path));
  EXPECT_EQ(kestu_testing::ReadFile(path), "");  // emptied at the open
  stream.Append(list.vision_results(0));
  // Written by the stream's thread, without a flush from here.
  EXPECT_TRUE(kestu_testing::PollUntil([&] {
    return kestu_testing::ReadFile(path) == RecordOf(list.vision_results(0));
  }));
  stream.Append(list.vision_results(1));
  stream.Append(list.vision_results(2));
  stream.Close();
  EXPECT_FALSE(stream.is_open());
  EXPECT_EQ(kestu_testing::ReadFile(path), list.SerializeAsString());
  stream.Append(list.vision_results(0));  // ignored once closed
  stream.Close();
  EXPECT_EQ(kestu_testing::ReadFile(path), list.SerializeAsString());
}

TEST(DetectionStreamTest, FileThatCannotBeCreatedIsReported) {
  ScratchDirectory directory;
  Journal journal;
  const std::string path = directory.File("missing/stream.pb");
  DetectionStream stream;
  EXPECT_FALSE(stream.Open(path));
  EXPECT_FALSE(stream.is_open());
  EXPECT_GE(
      journal.IndexOf("log: Error trying to create detections file: " + path),
      0);
  stream.Append(ThreeResults().vision_results(0));
  EXPECT_FALSE(stream.Flush());
}

}  // namespace
}  // namespace vostek_kestu
