// The crowd sample scored against the public ground truth of its clip,
// when that truth is at hand ($KESTU_MOT_DIR, or ../shared/mot beside the
// repository): on one detection run, the sample's tracker settings must
// follow identities better than the tracker with its default keys.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tools/score/accuracy_run.h"
#include "tools/score/mot_metrics.h"

namespace kestu_tools {
namespace {

constexpr char kPeopleClip[] =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";

std::string TruthPath() {
  const char* dir = std::getenv("KESTU_MOT_DIR");
  return (dir ? std::string(dir)
              : std::string(KESTU_SOURCE_DIR) + "/../shared/mot") +
         "/PETS09-S2L1/gt.txt";
}

TEST(CrowdSampleAccuracyTest, SampleSettingsFollowIdentitiesBetter) {
  MotFrames truth;
  std::string error;
  if (!ReadMotFile(TruthPath(), &truth, &error)) {
    GTEST_SKIP() << "No ground truth for the people clip (" << error
                 << "); set KESTU_MOT_DIR to score the sample";
  }
  ASSERT_EQ(chdir(KESTU_SOURCE_DIR), 0);  // the sample's paths are relative
  KestuEyeConfig sample;
  ASSERT_TRUE(LoadEyeConfig("samples/crowd_walkway.textproto", &sample, &error))
      << error;
  // The first 300 frames keep the test short; the benchmark scores all.
  DetectionRun run;
  ASSERT_TRUE(run.Detect(kPeopleClip, sample, &error, 300)) << error;
  truth.resize(run.frames());
  const ScoreSummary tuned =
      Score(truth, ResultsAsFrames(run.Track(sample), 0));
  const ScoreSummary plain =
      Score(truth, ResultsAsFrames(run.Track(WithoutOptInKeys(sample)), 0));
  EXPECT_GT(tuned.identity.idf1, plain.identity.idf1 + 0.05)
      << "IDF1 " << tuned.identity.idf1 << " vs " << plain.identity.idf1;
  EXPECT_LT(tuned.clear.identity_switches, plain.clear.identity_switches);
  EXPECT_GT(tuned.clear.mota, plain.clear.mota);
}

}  // namespace
}  // namespace kestu_tools
