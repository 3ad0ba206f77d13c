// A stand-alone record run of the crowd driver killed (SIGKILL, no chance to
// close anything) while it records: its detections file reads up to its
// last whole result, and its annotated recording plays up to the kill.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "src/driver/detection_records.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using kestu_testing::ChildProcess;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using VisionResultList = ::talvenrook::vision::v1::VisionResultList;

int64_t FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<int64_t>(in.tellg()) : -1;
}

// The whole field-1 records at the start of bytes, counted on their own.
int WholeRecords(const std::string& bytes) {
  size_t pos = 0;
  int whole = 0;
  while (pos < bytes.size() && bytes[pos] == '\x0a') {
    uint64_t size = 0;
    int shift = 0;
    size_t next = pos + 1;
    while (next < bytes.size() && (bytes[next] & 0x80)) {
      size |= static_cast<uint64_t>(bytes[next++] & 0x7f) << shift;
      shift += 7;
    }
    if (next >= bytes.size()) break;
    size |= static_cast<uint64_t>(bytes[next++] & 0x7f) << shift;
    if (size > bytes.size() - next) break;
    pos = next + size;
    ++whole;
  }
  return whole;
}

struct KillCase {
  const char* name;
  const char* extension;
  const char* codec;
  // The file the recording is written to while it lasts, after the name.
  const char* written;
  int port_block;
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class KilledRecordRunTest : public ::testing::TestWithParam<KillCase> {};

TEST_P(KilledRecordRunTest, LeavesFilesReadUpToTheKill) {
  const KillCase& c = GetParam();
  const std::string stem = "/tmp/kestu-killed-" + std::to_string(getpid()) +
                           "-" + std::string(c.name);
  const std::string asked = stem + "-annotated." + c.extension;
  const std::string video = asked + c.written;
  const std::string record = stem + ".pb";
  DriverConfig config = SampleConfig("crowd_walkway.textproto", kPeopleClip);
  auto& options = *(*config.mutable_kestu_eye_config()
                         ->mutable_config()
                         ->mutable_properties())["recording_options"]
                       .mutable_entity_value();
  SetProperty(&options, "filename", stem + "-annotated");
  SetProperty(&options, "extension", c.extension);
  SetProperty(&options, "codec", c.codec);
  (*options.mutable_properties())["fps"].set_integer_value(10);
  (*options.mutable_properties())["duration"].set_integer_value(600);
  (*options.mutable_properties())["allow_drawings"].set_boolean_value(true);
  (*options.mutable_properties())["allow_processing"].set_boolean_value(true);
  std::string text;
  ASSERT_TRUE(google::protobuf::TextFormat::PrintToString(config, &text));
  std::ofstream(stem + ".textproto") << text;

  const int base = PortBlock(c.port_block);
  ChildProcess process(KESTU_BINARY_DIR "/src/kestu-vision",
                       {"--bind_port=" + std::to_string(base),
                        "--streaming_port=" + std::to_string(base + 15),
                        "--standalone_mode", "--standalone_mode_driver=crowd",
                        "--configuration_proto=" + stem + ".textproto",
                        "--record_detections_file=" + record});
  // Mid-run (the clip takes half a minute): results are in the file and
  // frames in the recording.
  ASSERT_TRUE(PollUntil(
      [&] { return FileSize(record) > 2048 && FileSize(video) > 256 * 1024; },
      seconds(90), milliseconds(20)))
      << process.Stderr();
  ASSERT_TRUE(process.Running());
  ASSERT_TRUE(process.Signal(SIGKILL));
  EXPECT_EQ(process.Wait(seconds(10)), 128 + SIGKILL);

  // Every whole result, one per frame processed before the kill.
  const std::string bytes = kestu_testing::ReadFile(record);
  VisionResultList results;
  size_t torn = 0;
  ASSERT_TRUE(ParseDetectionRecords(bytes, &results, &torn));
  EXPECT_EQ(results.vision_results_size(), WholeRecords(bytes));
  EXPECT_LT(results.vision_results_size(), 795);  // vtest.avi's frames
  int people = 0;
  for (const auto& result : results.vision_results()) {
    for (const auto& detection : result.rect_detection()) {
      people += detection.type() == "person" ? 1 : 0;
    }
  }
  EXPECT_GT(people, 0);

  // The recording plays up to the kill.
  cv::VideoCapture capture(video);
  ASSERT_TRUE(capture.isOpened()) << video;
  int frames = 0;
  cv::Mat frame;
  while (capture.read(frame)) {
    ASSERT_EQ(frame.size(), cv::Size(768, 576));
    ++frames;
  }
  EXPECT_GE(frames, 3);
  // The name asked for is kept while the recording lasts.
  EXPECT_GE(FileSize(asked), 0);

  for (const std::string& path : {record, video, asked, stem + ".textproto"}) {
    std::remove(path.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, KilledRecordRunTest,
    ::testing::Values(
        // MP4 writes its index at the end: recorded as Matroska beside it.
        KillCase{"Mp4", "mp4", "mp4v", ".partial.mkv", 341},
        // An AVI without its index is read by scanning its frames.
        KillCase{"Avi", "avi", "MJPG", "", 342}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vostek_kestu
