// The ground-truth files of tests/data, read by the project's MOT reader and
// checked against their clips: every box inside the picture (in the pixels
// the truth is scored in), no frame past the clip's end, the identities and
// boxes that tests/data/NOTICE describes, and each identity's boxes
// overlapping from one frame to the next (an identity that jumps to another
// person breaks that). A clip whose people are all in view from its first
// frame to its last must have every one of them in every frame.
#include <cctype>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "tools/score/mot_metrics.h"

namespace kestu_tools {
namespace {

struct TruthFile {
  const char* truth;
  const char* clip;
  cv::Size scored_size;  // the pixels of the boxes when not the clip's own
  int identities;
  int boxes;
  bool everyone_in_every_frame;
  double min_step_iou;  // least IoU of an identity's boxes in adjacent frames
};

std::ostream& operator<<(std::ostream& out, const TruthFile& file) {
  return out << file.truth;
}

const TruthFile kTruthFiles[] = {
    {"tests/data/people_one_by_one_gt.txt",
     "samples/videos/people_one_by_one.mp4", cv::Size(), 6, 1105, false, 0.2},
    {"tests/data/road_motorway_gt.txt", "samples/videos/road_motorway.avi",
     cv::Size(640, 480), 85, 4844, false, 0.1},
    {"tests/data/people_walking_toward_camera_gt.txt",
     "samples/videos/people_walking_toward_camera.gif", cv::Size(), 3, 123,
     true, 0.75},
};

std::string SourcePath(const char* path) {
  return std::string(KESTU_SOURCE_DIR) + "/" + path;
}

class GroundTruthTest : public testing::TestWithParam<TruthFile> {};

TEST_P(GroundTruthTest, FitsItsClip) {
  const TruthFile& file = GetParam();
  MotFrames truth;
  std::string error;
  ASSERT_TRUE(ReadMotFile(SourcePath(file.truth), &truth, &error)) << error;

  cv::VideoCapture clip(SourcePath(file.clip));
  ASSERT_TRUE(clip.isOpened()) << file.clip;
  cv::Mat first;
  ASSERT_TRUE(clip.read(first)) << file.clip;
  const auto frames =
      static_cast<size_t>(clip.get(cv::CAP_PROP_FRAME_COUNT) + 0.5);
  ASSERT_GT(frames, 0u) << file.clip;
  const cv::Size size =
      file.scored_size.empty() ? first.size() : file.scored_size;
  const cv::Rect2d picture(0, 0, size.width, size.height);

  EXPECT_LE(truth.size(), frames) << "truth past the clip's last frame";
  std::map<int64_t, int> boxes_of;
  int boxes = 0;
  for (size_t f = 0; f < truth.size(); ++f) {
    for (const MotBox& box : truth[f]) {
      ++boxes;
      ++boxes_of[box.id];
      EXPECT_EQ((box.box & picture), box.box)
          << "frame " << f + 1 << ", identity " << box.id << ": " << box.box
          << " outside " << size;
    }
  }
  EXPECT_EQ(boxes, file.boxes);
  EXPECT_EQ(static_cast<int>(boxes_of.size()), file.identities);

  if (file.everyone_in_every_frame) {
    ASSERT_EQ(truth.size(), frames);
    for (size_t f = 0; f < truth.size(); ++f) {
      EXPECT_EQ(static_cast<int>(truth[f].size()), file.identities)
          << "frame " << f + 1;
    }
    for (const auto& [id, count] : boxes_of) {
      EXPECT_EQ(static_cast<size_t>(count), frames) << "identity " << id;
    }
  }

  // Each identity's box in one frame against its box in the next.
  std::map<int64_t, cv::Rect2d> last;
  for (size_t f = 0; f < truth.size(); ++f) {
    std::map<int64_t, cv::Rect2d> now;
    for (const MotBox& box : truth[f]) {
      now[box.id] = box.box;
      const auto before = last.find(box.id);
      if (before == last.end()) continue;
      EXPECT_GE(Iou(before->second, box.box), file.min_step_iou)
          << "identity " << box.id << " from frame " << f << " to " << f + 1
          << ": " << before->second << " to " << box.box;
    }
    last = std::move(now);
  }
}

INSTANTIATE_TEST_SUITE_P(TestData, GroundTruthTest,
                         testing::ValuesIn(kTruthFiles),
                         [](const testing::TestParamInfo<TruthFile>& info) {
                           std::string name = info.param.truth;
                           name = name.substr(name.find_last_of('/') + 1);
                           name = name.substr(0, name.find('.'));
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c)))
                               c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kestu_tools
