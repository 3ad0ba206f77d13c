// The snapshots of crossings: the folder bounded by size and by age (also
// after a restart, with the clock set), the picture with the person's box,
// the frame a crossing is found in, and the taker end to end over a real
// SQLite history: the event before its frame and after it, no frame, an
// exit taken in long after.
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "tests/testing/test_util.h"
#include "tests/tools/audit_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/audit_store.h"
#include "tools/web/event_recorder.h"
#include "tools/web/event_store.h"
#include "tools/web/snapshot_files.h"
#include "tools/web/snapshot_picture.h"
#include "tools/web/snapshot_ring.h"
#include "tools/web/snapshot_streaming.h"
#include "tools/web/snapshot_taker.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

using audit_test::Box;
using audit_test::Exit;
using audit_test::Frame;
using audit_test::FrameJpeg;
using audit_test::ShowsBox;
using audit_test::TempPath;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using std::chrono::milliseconds;
namespace v1 = ::talvenrook::vision::v1;

constexpr double kDay = 86400.0;
constexpr double kT0 = 1796900000.0;

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

TEST(SnapshotFilesTest, SizeBoundTakesTheOldestFirst) {
  const std::string dir = TempPath("size");
  double now = kT0;
  SnapshotFiles files(dir, 30, 3000, [&now] { return now; });
  std::string error;
  ASSERT_TRUE(files.Open(&error)) << error;
  for (int id = 1; id <= 5; ++id) {
    now += 60;
    ASSERT_TRUE(files.Write(id, std::string(1000, 'x'), &error)) << error;
    EXPECT_LE(files.total_bytes(), 3000);
  }
  EXPECT_EQ(files.count(), 3u);
  for (int id = 1; id <= 5; ++id) {
    EXPECT_EQ(Exists(files.Path(id)), id >= 3) << id;
    EXPECT_EQ(files.Has(id, now - 600), id >= 3) << id;
  }
  // Written again, an old one becomes the newest.
  now += 60;
  ASSERT_TRUE(files.Write(3, std::string(1500, 'y'), &error)) << error;
  EXPECT_FALSE(Exists(files.Path(4)));
  EXPECT_TRUE(Exists(files.Path(3)) && Exists(files.Path(5)));
  EXPECT_EQ(files.total_bytes(), 2500);
  EXPECT_EQ(files.Read(3, now)->size(), 1500u);
  // The same bound read from the folder by a smaller kestu-web.
  SnapshotFiles smaller(dir, 30, 2000, [&now] { return now; });
  ASSERT_TRUE(smaller.Open(&error)) << error;
  EXPECT_EQ(smaller.count(), 1u);
  EXPECT_TRUE(Exists(smaller.Path(3)));
}

TEST(SnapshotFilesTest, AgeBoundHoldsAcrossARestart) {
  const std::string dir = TempPath("age");
  double now = kT0;
  std::string error;
  {
    SnapshotFiles files(dir, 2, 1 << 20, [&now] { return now; });
    ASSERT_TRUE(files.Open(&error)) << error;
    for (int id = 1; id <= 3; ++id) {
      ASSERT_TRUE(files.Write(id, "jpeg", &error)) << error;
      now += 0.75 * kDay;  // written at 0, 0.75 and 1.5 days
    }
    EXPECT_EQ(files.count(), 3u);
    // The file is an older event's: id 1 given again to an exit of now.
    EXPECT_FALSE(files.Has(1, now));
    EXPECT_TRUE(files.Has(1, kT0 - 10));
  }
  // Left behind by a kill mid-write, and a file of someone else's.
  std::ofstream(dir + "/9.jpg.tmp") << "half";
  std::ofstream(dir + "/notes.txt") << "mine";
  now = kT0 + 2.2 * kDay;
  SnapshotFiles files(dir, 2, 1 << 20, [&now] { return now; });
  ASSERT_TRUE(files.Open(&error)) << error;
  EXPECT_FALSE(Exists(dir + "/1.jpg"));
  EXPECT_TRUE(Exists(dir + "/2.jpg") && Exists(dir + "/3.jpg"));
  EXPECT_FALSE(Exists(dir + "/9.jpg.tmp"));
  EXPECT_TRUE(Exists(dir + "/notes.txt"));
  now = kT0 + 2.8 * kDay;
  files.Enforce();
  EXPECT_EQ(files.count(), 1u);
  EXPECT_TRUE(Exists(dir + "/3.jpg"));
}

TEST(SnapshotFilesTest, AFileInPlaceOfTheFolderIsRefused) {
  const std::string path = TempPath("not-a-folder");
  std::ofstream(path) << "x";
  SnapshotFiles files(path, 1, 1000);
  std::string error;
  EXPECT_FALSE(files.Open(&error));
  EXPECT_FALSE(error.empty());
}

v1::Rectangle Rect(const cv::Rect& r) {
  v1::Rectangle out;
  out.set_x(r.x);
  out.set_y(r.y);
  out.set_width(r.width);
  out.set_height(r.height);
  return out;
}

TEST(SnapshotPictureTest, BoxDrawnWhereThePersonIsOrNoPicture) {
  std::string jpeg, error;
  // The frame streamed whole, 640 wide: 320 wide with the box at half.
  ASSERT_TRUE(DrawCrossing(FrameJpeg(3), Rect(Box(3)), 1.0, 320, &jpeg, &error))
      << error;
  EXPECT_TRUE(ShowsBox(jpeg, 3));
  EXPECT_FALSE(ShowsBox(jpeg, 7));  // not somewhere else
  // Streamed at half size by the driver: the frame's box is scaled.
  const std::string whole = FrameJpeg(5);
  cv::Mat half;
  cv::resize(cv::imdecode(std::vector<uchar>(whole.begin(), whole.end()),
                          cv::IMREAD_COLOR),
             half, cv::Size(320, 240));
  std::vector<uchar> encoded;
  cv::imencode(".jpg", half, encoded);
  ASSERT_TRUE(DrawCrossing(std::string(encoded.begin(), encoded.end()),
                           Rect(Box(5)), 0.5, 320, &jpeg, &error))
      << error;
  EXPECT_TRUE(ShowsBox(jpeg, 5));
  // A box beyond the picture (a scale not known) and bytes that are no
  // JPEG give no picture.
  EXPECT_FALSE(DrawCrossing(FrameJpeg(1), Rect(cv::Rect(600, 400, 200, 300)),
                            1.0, 320, &jpeg, &error));
  EXPECT_NE(error.find("box"), std::string::npos) << error;
  EXPECT_FALSE(
      DrawCrossing("not a jpeg", Rect(Box(1)), 1.0, 320, &jpeg, &error));
}

TEST(SnapshotRingTest, TheExitsOwnFrameElseTheNearestWithTheTrack) {
  SnapshotRing ring;
  const auto t = SnapshotRing::Clock::now();
  const auto exit = Exit(4, v1::FORWARD, 1000, 1);
  auto jpeg = [](const char* text) {
    return std::make_shared<const std::string>(text);
  };
  v1::VisionResult before = Frame({}, 4);
  *before.add_rect_detection() = exit.rect_detection(0);
  ring.Add("p", before, jpeg("before"), t - milliseconds(300));
  ring.Add("p", Frame({exit}, 4), jpeg("exit"), t + milliseconds(400));
  ring.Add("p", Frame({}, 4), jpeg("no track"), t);
  // The frame holding the very exit, though another is nearer.
  auto found = ring.FindNearest("p", exit.vision_event(0), t);
  ASSERT_TRUE(found);
  EXPECT_EQ(*found->jpeg, "exit");
  EXPECT_TRUE(found->exact);
  // Another exit of the track (other time): the nearest frame with it.
  v1::VisionEvent later = exit.vision_event(0);
  later.mutable_timestamp()->set_seconds(1001);
  found = ring.FindNearest("p", later, t);
  ASSERT_TRUE(found);
  EXPECT_EQ(*found->jpeg, "before");
  EXPECT_FALSE(found->exact);
  EXPECT_FALSE(ring.FindExact("p", later));
  // Too far from every frame with the track, or another process.
  EXPECT_FALSE(ring.FindNearest("p", later, t + milliseconds(1500)));
  EXPECT_FALSE(ring.FindNearest("q", exit.vision_event(0), t));
}

// The taker over a real history: results stored as kestu-web's recorder
// stores them.
class SnapshotTakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = TempPath("taker.sqlite");
    std::string error;
    ASSERT_TRUE(store_.Open(database_, &error)) << error;
    ASSERT_TRUE(audit_.Open(database_, &error)) << error;
    files_ = std::make_unique<SnapshotFiles>(TempPath("taker-snapshots"), 1,
                                             1 << 20);
    ASSERT_TRUE(files_->Open(&error)) << error;
    SnapshotTaker::Options options;
    options.frame_wait = milliseconds(300);
    taker_ = std::make_unique<SnapshotTaker>(
        files_.get(), &audit_,
        [](const std::string&, const std::string&) { return 1.0; }, nullptr,
        options);
    taker_->Start();
  }
  // What the hub does with a published result.
  void Publish(const v1::VisionResult& result) {
    taker_->OnPublished("p", "crowd", result);
    std::string error;
    ASSERT_TRUE(store_.Append(EventRows("p", "crowd", result, EpochSeconds()),
                              {}, &error))
        << error;
  }
  void Stream(const v1::VisionResult& frame) {
    taker_->OnStreamed(
        "p", frame,
        std::make_shared<const std::string>(frame.result_image().image()));
  }
  std::optional<std::string> Snapshot(int64_t track) {
    std::vector<AuditCrossing> crossings;
    bool more = false;
    std::string error;
    const double now = EpochSeconds();
    EXPECT_TRUE(audit_.Crossings({"p", "crowd", "", now - 600, now + 600},
                                 &crossings, &more, &error))
        << error;
    for (const auto& c : crossings) {
      if (c.tracking_id == track) return files_->Read(c.id, c.time);
    }
    return std::nullopt;
  }

  std::string database_;
  EventStore store_;
  AuditStore audit_;
  std::unique_ptr<SnapshotFiles> files_;
  std::unique_ptr<SnapshotTaker> taker_;
};

TEST_F(SnapshotTakerTest, EachCrossingWithItsOwnFrameOrNone) {
  const int64_t now = static_cast<int64_t>(EpochSeconds());
  const auto first = Exit(11, v1::FORWARD, now, 1);       // event, then frame
  const auto second = Exit(12, v1::BACKWARD, now, 2);     // frame, then event
  const auto third = Exit(13, v1::FORWARD, now, 3);       // no frame at all
  const auto old = Exit(14, v1::FORWARD, now - 3600, 4);  // from a journal
  Publish(first);
  Stream(Frame({first}, 11));
  Stream(Frame({second}, 12));
  Publish(second);
  Publish(third);
  Stream(Frame({old}, 14));  // were it still there, it is not looked for
  Publish(old);
  ASSERT_TRUE(PollUntil([&] { return taker_->counts().written == 2; },
                        std::chrono::seconds(10)));
  ASSERT_TRUE(PollUntil([&] { return taker_->counts().without_frame == 1; },
                        std::chrono::seconds(10)));
  EXPECT_EQ(taker_->counts().failed, 0);
  ASSERT_TRUE(Snapshot(11));
  EXPECT_TRUE(ShowsBox(*Snapshot(11), 11));
  ASSERT_TRUE(Snapshot(12));
  EXPECT_TRUE(ShowsBox(*Snapshot(12), 12));
  EXPECT_FALSE(Snapshot(13));
  EXPECT_FALSE(Snapshot(14));
  EXPECT_EQ(files_->count(), 2u);
  // The page finds them by the published result's uuid.
  EXPECT_GT(taker_->SnapshotId(first.uuid(), 0), 0);
  EXPECT_EQ(taker_->SnapshotId(third.uuid(), 0), 0);
}

TEST_F(SnapshotTakerTest, AnExitStoredLateIsFiledOnceItIsThere) {
  const int64_t now = static_cast<int64_t>(EpochSeconds());
  const auto exit = Exit(21, v1::FORWARD, now, 5);
  taker_->OnPublished("p", "crowd", exit);  // the history is behind
  Stream(Frame({exit}, 21));
  EXPECT_FALSE(PollUntil([&] { return taker_->counts().written > 0; },
                         milliseconds(600)));
  std::string error;
  ASSERT_TRUE(store_.Append(EventRows("p", "crowd", exit, now), {}, &error));
  ASSERT_TRUE(PollUntil([&] { return taker_->counts().written == 1; },
                        std::chrono::seconds(10)));
  EXPECT_TRUE(ShowsBox(*Snapshot(21), 21));
}

// The keeper asks a counting driver of a quiet process to stream, on the
// driver's configuration port; not while its camera is down, and not a
// driver that does not count.
TEST(StreamKeeperTest, AsksACountingDriverWhoseCameraIsUpToStream) {
  const int base = PortBlock(142);
  zmq::context_t context(1);
  zmq::socket_t crowd(context, zmq::socket_type::pull);
  crowd.set(zmq::sockopt::linger, 0);
  crowd.bind(Endpoint("127.0.0.1", base + DriverPortOffset("crowd")));
  StreamKeeper keeper({{"p", "127.0.0.1", base}}, milliseconds(100),
                      milliseconds(100));
  keeper.Start();
  StreamKeeper::DriverInfo info;
  info.set_configured(true);
  info.add_zone()->set_name("walkway");
  info.mutable_camera()->set_has_source(true);
  info.mutable_camera()->set_connected(false);
  keeper.OnDescribed("p", "crowd", info);
  StreamKeeper::DriverInfo idle;  // configured, no lines
  idle.set_configured(true);
  keeper.OnDescribed("p", "face", idle);
  EXPECT_FALSE(
      PollUntil([&] { return keeper.requests() > 0; }, milliseconds(500)));

  info.mutable_camera()->set_connected(true);
  keeper.OnDescribed("p", "crowd", info);
  zmq::pollitem_t item{crowd.handle(), 0, ZMQ_POLLIN, 0};
  ASSERT_EQ(zmq::poll(&item, 1, std::chrono::seconds(5)), 1);
  zmq::message_t message;
  ASSERT_TRUE(crowd.recv(message, zmq::recv_flags::none));
  DriverConfig request;
  ASSERT_TRUE(request.ParseFromArray(message.data(), message.size()));
  EXPECT_EQ(request.kestu_eye_config().action(),
            ::talvenrook::kestu::v1::kestueye::START_STREAMING);
  EXPECT_FALSE(request.uuid().empty());
  keeper.Stop();
}

}  // namespace
}  // namespace kestu_tools
