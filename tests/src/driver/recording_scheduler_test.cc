// RecordingScheduler: recording options turned into real video files, the
// interleaved schedule on a hand-driven clock, the moment mask, the reports
// and the two ways of stopping.
#include "src/driver/recording_scheduler.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "src/flags.h"
#include "tests/src/driver/recording_test_util.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {
namespace {

using recording_testing::Journal;
using recording_testing::kFrameHeight;
using recording_testing::kFrameWidth;
using recording_testing::MakeFrame;
using recording_testing::ReadVideo;
using recording_testing::ScratchDirectory;
using ::talvenrook::common::Value;

const cv::Size kFrameSize(kFrameWidth, kFrameHeight);

Value Int(int64_t v) {
  Value value;
  value.set_integer_value(v);
  return value;
}
Value Str(const std::string& v) {
  Value value;
  value.set_string_value(v);
  return value;
}
Value Bool(bool v) {
  Value value;
  value.set_boolean_value(v);
  return value;
}
Value Map(const Entity& entity) {
  Value value;
  *value.mutable_entity_value() = entity;
  return value;
}

// Builds an options map: Options({{"fps", Int(2)}, ...}).
Entity Options(const std::vector<std::pair<std::string, Value>>& entries) {
  Entity entity;
  for (const auto& [key, value] : entries) {
    (*entity.mutable_properties())[key] = value;
  }
  return entity;
}

int Fourcc(const char* code) {
  return cv::VideoWriter::fourcc(code[0], code[1], code[2], code[3]);
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class RecordingSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(directory_.path().empty());
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_.path());
    saved_volume_ = FLAGS_volume;
  }
  void TearDown() override {
    FLAGS_volume = saved_volume_;
    std::filesystem::current_path(saved_cwd_);
  }

  // Feeds frames until the front recorder finishes or the limit is reached;
  // returns the frames given.
  int FeedUntilFinished(int limit, int moment = 0) {
    const size_t before = Finished().size();
    for (int i = 0; i < limit; ++i) {
      scheduler_.RecordFrame(moment, MakeFrame(i));
      if (Finished().size() > before) return i + 1;
    }
    return limit;
  }
  std::vector<std::string> Finished() const {
    std::vector<std::string> paths;
    for (const Status& status : journal_.Statuses()) {
      if (status.type() == Status::VIDEO_READY)
        paths.push_back(status.message());
    }
    return paths;
  }

  ScratchDirectory directory_;
  std::filesystem::path saved_cwd_;
  std::string saved_volume_;
  Journal journal_;
  ManualRecorderClock clock_;
  RecordingScheduler scheduler_{
      [this](Status::MessageType type, const std::string& uuid,
             const std::string& message) {
        journal_.AddStatus(type, uuid, message);
      },
      &clock_};
};

// ---------------------------------------------------------------------------
// Output names and codecs

// Names starting with "D/" are in the test's directory; the others are
// relative to it (it is the working directory).
struct NameCase {
  const char* name;
  const char* filename;
  const char* extra_key;  // "" for none
  const char* extra_value;
  const char* expected_path;
  const char* expected_codec;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class RecordingNameTest : public RecordingSchedulerTest,
                          public ::testing::WithParamInterface<NameCase> {
 protected:
  std::string InDirectory(const std::string& name) const {
    return name.rfind("D/", 0) == 0 ? directory_.File(name.substr(2)) : name;
  }
};

TEST_P(RecordingNameTest, RecordsToTheExpectedFileWithTheExpectedCodec) {
  const NameCase& c = GetParam();
  std::filesystem::create_directory(directory_.File("v1.2"));
  std::vector<std::pair<std::string, Value>> keys = {
      {"duration", Int(2)},
      {"fps", Int(2)},
      {"filename", Str(InDirectory(c.filename))}};
  if (*c.extra_key) keys.push_back({c.extra_key, Str(c.extra_value)});
  scheduler_.ScheduleRecording(Options(keys), kFrameSize);
  const auto pending = scheduler_.PendingRecordings();
  ASSERT_EQ(pending.size(), 1u) << ::testing::PrintToString(journal_.Entries());
  const std::string expected = InDirectory(c.expected_path);
  EXPECT_EQ(pending[0].path, expected);
  EXPECT_EQ(pending[0].fourcc, Fourcc(c.expected_codec));
  EXPECT_EQ(pending[0].frames_to_write, 4);

  EXPECT_EQ(FeedUntilFinished(10), 4);
  EXPECT_EQ(Finished(), std::vector<std::string>{expected});
  const auto video = ReadVideo(expected);
  ASSERT_TRUE(video.opened) << expected;
  EXPECT_EQ(video.frames, 4);
  EXPECT_EQ(video.size, kFrameSize);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RecordingNameTest,
    ::testing::Values(
        NameCase{"ExtensionInName", "D/out.avi", "", "", "D/out.avi", "mp4v"},
        NameCase{"NoExtension", "D/out", "", "", "D/out.mp4", "mp4v"},
        NameCase{"LongSuffixIsPartOfTheName", "D/out.backup", "", "",
                 "D/out.backup.mp4", "mp4v"},
        NameCase{"ThreeCharacterName", "abc", "", "", "abc.mp4", "mp4v"},
        NameCase{"DotInDirectoryIsNoExtension", "D/v1.2/ab", "", "",
                 "D/v1.2/ab.mp4", "mp4v"},
        NameCase{"ExtensionKeyWins", "D/clip.avi", "extension", "mkv",
                 "D/clip.mkv", "mp4v"},
        NameCase{"FourCharacterCodec", "D/h.mp4", "codec", "H264", "D/h.mp4",
                 "H264"},
        NameCase{"ShortCodecGivesAvc1", "D/a.mp4", "codec", "264", "D/a.mp4",
                 "avc1"},
        NameCase{"MjpgInAvi", "D/m.avi", "codec", "MJPG", "D/m.avi", "MJPG"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordingSchedulerTest, DefaultNameIsAUuidInTheVolume) {
  FLAGS_volume = directory_.path();
  scheduler_.ScheduleRecording(
      Options({{"duration", Int(10)}, {"fps", Int(30)}}), kFrameSize);
  const auto pending = scheduler_.PendingRecordings();
  ASSERT_EQ(pending.size(), 1u);
  const std::regex uuid_mp4(
      "/[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
      "\\.mp4");
  const std::string& path = pending[0].path;
  ASSERT_EQ(path.rfind(directory_.path(), 0), 0u) << path;
  EXPECT_TRUE(std::regex_match(path.substr(directory_.path().size()), uuid_mp4))
      << path;
  EXPECT_EQ(pending[0].frames_to_write, 300);
  EXPECT_EQ(pending[0].fps, 30);
  EXPECT_EQ(pending[0].fourcc, Fourcc("mp4v"));
  EXPECT_EQ(FeedUntilFinished(400), 300);
  EXPECT_EQ(ReadVideo(path).frames, 300);
}

TEST_F(RecordingSchedulerTest, DefaultNameWithoutVolumeIsInTheTempDirectory) {
  FLAGS_volume = "";
  const char* saved = ::getenv("TMPDIR");
  const std::string saved_tmpdir = saved ? saved : "";
  ::setenv("TMPDIR", directory_.path().c_str(), 1);
  scheduler_.ScheduleRecording(Options({{"duration", Int(1)}}), kFrameSize);
  if (saved) {
    ::setenv("TMPDIR", saved_tmpdir.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  const auto pending = scheduler_.PendingRecordings();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(std::filesystem::path(pending[0].path).parent_path(),
            std::filesystem::path(directory_.path()));
  EXPECT_EQ(pending[0].frames_to_write, 24);
  // The file is created when the first frame is due, not at scheduling.
  EXPECT_FALSE(Exists(pending[0].path));
  scheduler_.RecordFrame(0, MakeFrame(0));
  EXPECT_TRUE(Exists(pending[0].path));
}

// ---------------------------------------------------------------------------
// Interleaved samples

TEST_F(RecordingSchedulerTest, InterleavedSamplesStartEveryPeriod) {
  const std::string base = directory_.File("day");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(base)},
               {"fps", Int(1)},
               {"interleaved_options",
                Map(Options({{"samples", Int(12)}, {"period", Int(7200)}}))}}),
      kFrameSize);
  // duration 120 by default: 10 seconds per sample.
  const auto pending = scheduler_.PendingRecordings();
  ASSERT_EQ(pending.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(pending[i].path, base + "_" + std::to_string(i) + ".mp4");
    EXPECT_EQ(pending[i].frames_to_write, 10);
    EXPECT_EQ(pending[i].wait_seconds, i * 7200);
  }

  // A camera giving one frame per second for a day. The start of each
  // sample is noted at the clock time of the frame that started it.
  std::vector<int64_t> starts;
  size_t started = 0;
  for (int64_t second = 0; second < 24 * 3600; ++second) {
    scheduler_.RecordFrame(0, MakeFrame(static_cast<int>(second)));
    const auto now = scheduler_.PendingRecordings();
    const size_t begun =
        12 - now.size() + (!now.empty() && now.front().started ? 1 : 0);
    if (begun > started) {
      starts.push_back(second);
      started = begun;
    }
    if (second % 3600 == 1800 && !now.empty()) {
      // Between samples the front writer is open and waiting.
      EXPECT_TRUE(scheduler_.IsRecording());
    }
    clock_.AdvanceSeconds(1);
  }
  std::vector<int64_t> expected_starts;
  for (int i = 0; i < 12; ++i) expected_starts.push_back(i * 7200);
  EXPECT_EQ(starts, expected_starts);
  EXPECT_FALSE(scheduler_.IsRecording());

  std::vector<std::string> expected_files;
  for (int i = 0; i < 12; ++i) {
    expected_files.push_back(base + "_" + std::to_string(i) + ".mp4");
    EXPECT_EQ(ReadVideo(expected_files.back()).frames, 10);
  }
  EXPECT_EQ(Finished(), expected_files);
  EXPECT_EQ(journal_.CountOf("log: No more videos left. :)"), 1);
  EXPECT_GT(journal_.IndexOf("log: No more videos left. :)"),
            journal_.IndexOf("VIDEO_READY " + expected_files.back()));
}

TEST_F(RecordingSchedulerTest, NoSamplesSchedulesNothing) {
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(directory_.File("none"))},
               {"interleaved_options",
                Map(Options(
                    {{"samples", Int(0)}, {"moment_to_record", Int(2)}}))}}),
      kFrameSize);
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  EXPECT_FALSE(scheduler_.IsRecording());
  EXPECT_EQ(scheduler_.moment_to_record(), 2);
}

struct MomentCase {
  const char* name;
  int moment_to_record;
  int expected_frames;
};
void PrintTo(const MomentCase& c, std::ostream* os) { *os << c.name; }

class RecordingMomentTest : public RecordingSchedulerTest,
                            public ::testing::WithParamInterface<MomentCase> {};

TEST_P(RecordingMomentTest, OnlyFramesOfTheChosenMomentsAreRecorded) {
  const std::string base = directory_.File("moment");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(base)},
               {"fps", Int(1)},
               {"duration", Int(100)},
               {"interleaved_options",
                Map(Options({{"samples", Int(1)},
                             {"moment_to_record",
                              Int(GetParam().moment_to_record)}}))}}),
      kFrameSize);
  // Moments of day: 0 unknown, 1 day, 2 night.
  for (int moment : {0, 1, 2, 2, 1, 2, 0}) {
    scheduler_.RecordFrame(moment, MakeFrame(moment));
  }
  const auto pending = scheduler_.PendingRecordings();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].frames_written, GetParam().expected_frames);
  scheduler_.StopRecording();
  if (GetParam().expected_frames > 0) {
    EXPECT_EQ(ReadVideo(base + "_0.mp4").frames, GetParam().expected_frames);
  }
}

INSTANTIATE_TEST_SUITE_P(Moments, RecordingMomentTest,
                         ::testing::Values(MomentCase{"Day", 1, 4},
                                           MomentCase{"Night", 2, 5},
                                           MomentCase{"Both", 3, 7},
                                           MomentCase{"UnknownOnly", 0, 2}),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Analytics while recording

TEST_F(RecordingSchedulerTest, ProcessingAndDrawingOptionsPersistAndCombine) {
  struct Step {
    std::vector<std::pair<std::string, Value>> keys;
    bool allow_processing;
    bool allow_drawings;
  };
  const std::vector<Step> steps = {
      {{}, false, false},
      {{{"allow_processing", Bool(true)}, {"allow_drawings", Bool(true)}},
       true,
       true},
      {{}, true, true},  // kept from the previous recording
      {{{"allow_processing", Bool(false)}}, false, false},
      {{{"allow_processing", Bool(true)}}, true, false},
      {{{"allow_drawings", Bool(true)}}, true, true},
      {{{"allow_processing", Int(1)}, {"allow_drawings", Bool(true)}},
       false,
       false},  // only a true boolean reads true
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    auto keys = steps[i].keys;
    keys.push_back({"filename", Str(directory_.File(std::to_string(i)))});
    keys.push_back({"duration", Int(1)});
    keys.push_back({"fps", Int(1)});
    scheduler_.ScheduleRecording(Options(keys), kFrameSize);
    const auto state = scheduler_.GetState();
    EXPECT_TRUE(state.active) << "step " << i;
    EXPECT_EQ(state.allow_processing, steps[i].allow_processing)
        << "step " << i;
    EXPECT_EQ(state.allow_drawings, steps[i].allow_drawings) << "step " << i;
    scheduler_.RecordFrame(0, MakeFrame(0));
    EXPECT_FALSE(scheduler_.GetState().active) << "step " << i;
  }
}

// ---------------------------------------------------------------------------
// Reports, failures and stopping

TEST_F(RecordingSchedulerTest, LastVideoReadyIsFollowedByNoMoreVideos) {
  for (const char* name : {"first", "second"}) {
    scheduler_.ScheduleRecording(
        Options({{"filename", Str(directory_.File(name))},
                 {"duration", Int(1)},
                 {"fps", Int(2)}}),
        kFrameSize);
  }
  const std::string first = directory_.File("first.mp4");
  const std::string second = directory_.File("second.mp4");
  EXPECT_EQ(FeedUntilFinished(5), 2);
  EXPECT_EQ(journal_.CountOf("log: No more videos left. :)"), 0);
  EXPECT_EQ(FeedUntilFinished(5), 2);
  const int finished_line = journal_.IndexOf("log: Video Finished: " + second);
  const int ready = journal_.IndexOf("VIDEO_READY " + second);
  const int none_left = journal_.IndexOf("log: No more videos left. :)");
  EXPECT_GE(finished_line, 0);
  EXPECT_LT(finished_line, ready);
  EXPECT_LT(ready, none_left);
  EXPECT_LT(journal_.IndexOf("VIDEO_READY " + first), finished_line);
  for (const Status& status : journal_.Statuses()) {
    EXPECT_EQ(status.uuid(), "");
  }
}

TEST_F(RecordingSchedulerTest, WriterThatCannotOpenIsReportedAndNotQueued) {
  const std::string bad = directory_.File("missing/dir/clip.mp4");
  scheduler_.ScheduleRecording(Options({{"filename", Str(bad)}}), kFrameSize);
  const std::string message = "Could not open video writer: " + bad;
  EXPECT_GE(journal_.IndexOf("log: " + message), 0);
  ASSERT_EQ(journal_.Statuses().size(), 1u);
  EXPECT_EQ(journal_.Statuses()[0].type(), Status::STATUS_ERROR);
  EXPECT_EQ(journal_.Statuses()[0].message(), message);
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  EXPECT_FALSE(scheduler_.IsRecording());

  // The next recording is not blocked.
  const std::string good = directory_.File("good");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(good)}, {"duration", Int(1)}, {"fps", Int(3)}}),
      kFrameSize);
  EXPECT_EQ(FeedUntilFinished(10), 3);
  EXPECT_EQ(Finished(), std::vector<std::string>{good + ".mp4"});
}

TEST_F(RecordingSchedulerTest, StopFinishesTheWritingRecorderAndDropsTheRest) {
  const std::string base = directory_.File("stop");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(base)},
               {"duration", Int(30)},
               {"fps", Int(1)},
               {"interleaved_options",
                Map(Options({{"samples", Int(3)}, {"period", Int(100)}}))}}),
      kFrameSize);
  ASSERT_EQ(scheduler_.PendingCount(), 3u);
  for (int i = 0; i < 5; ++i) scheduler_.RecordFrame(0, MakeFrame(i));

  scheduler_.StopRecording();
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  EXPECT_FALSE(scheduler_.IsRecording());
  EXPECT_EQ(Finished(), std::vector<std::string>{base + "_0.mp4"});
  EXPECT_EQ(ReadVideo(base + "_0.mp4").frames, 5);
  EXPECT_FALSE(Exists(base + "_1.mp4"));
  EXPECT_FALSE(Exists(base + "_2.mp4"));
  EXPECT_GT(journal_.IndexOf("log: No more videos left. :)"),
            journal_.IndexOf("VIDEO_READY " + base + "_0.mp4"));
}

TEST_F(RecordingSchedulerTest, StopWhileWaitingDropsEverythingUnreported) {
  const std::string base = directory_.File("later");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(base)},
               {"fps", Int(1)},
               {"interleaved_options",
                Map(Options({{"samples", Int(2)}, {"period", Int(100)}}))}}),
      kFrameSize);
  // The first sample (120 / 2 seconds at 1 fps) is written, the second waits.
  ASSERT_EQ(FeedUntilFinished(100), 60);
  ASSERT_EQ(scheduler_.PendingCount(), 1u);
  ASSERT_TRUE(scheduler_.IsRecording());

  scheduler_.StopRecording();
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  EXPECT_EQ(Finished(), std::vector<std::string>{base + "_0.mp4"});
  EXPECT_TRUE(Exists(base + "_0.mp4"));
  EXPECT_FALSE(Exists(base + "_1.mp4"));
  // Stopping again with nothing queued is harmless.
  scheduler_.StopRecording();
  EXPECT_EQ(Finished().size(), 1u);
}

TEST_F(RecordingSchedulerTest, EndOfStreamStopsPendingRecordersSilently) {
  const std::string base = directory_.File("eos");
  scheduler_.ScheduleRecording(
      Options({{"filename", Str(base)},
               {"duration", Int(20)},
               {"fps", Int(1)},
               {"interleaved_options",
                Map(Options({{"samples", Int(2)}, {"period", Int(100)}}))}}),
      kFrameSize);
  for (int i = 0; i < 4; ++i) scheduler_.RecordFrame(0, MakeFrame(i));

  scheduler_.StopPendingRecorders();
  EXPECT_GE(journal_.IndexOf("log: Stopping 2 pending recorders"), 0);
  EXPECT_EQ(scheduler_.PendingCount(), 0u);
  EXPECT_TRUE(journal_.Statuses().empty());
  // The file being written is closed with what it holds.
  EXPECT_EQ(ReadVideo(base + "_0.mp4").frames, 4);
  scheduler_.StopPendingRecorders();
  EXPECT_EQ(journal_.CountOf("log: Stopping 2 pending recorders"), 1);
}

TEST_F(RecordingSchedulerTest, FramesAndSchedulingFromTwoThreads) {
  // The detection thread records while the capture thread schedules and
  // asks for the state; every recording must end complete and reported.
  const int kRecordings = 6;
  std::atomic<bool> done{false};
  std::thread frames([&] {
    int i = 0;
    while (!done) scheduler_.RecordFrame(0, MakeFrame(i++));
  });
  for (int i = 0; i < kRecordings; ++i) {
    scheduler_.ScheduleRecording(
        Options({{"filename", Str(directory_.File("t" + std::to_string(i)))},
                 {"duration", Int(1)},
                 {"fps", Int(5)}}),
        kFrameSize);
    scheduler_.GetState();
  }
  const bool all = kestu_testing::PollUntil(
      [&] { return Finished().size() == kRecordings; });
  done = true;
  frames.join();
  ASSERT_TRUE(all);
  for (int i = 0; i < kRecordings; ++i) {
    EXPECT_EQ(
        ReadVideo(directory_.File("t" + std::to_string(i) + ".mp4")).frames, 5);
  }
}

}  // namespace
}  // namespace vostek_kestu
