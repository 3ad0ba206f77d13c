// Tracking accuracy against ground truth: CLEAR-MOT (MOTA, misses, false
// positives, identity switches) and the identity measures (IDF1, IDP, IDR).
//
// Truth and results are both lists of frames, each a list of boxes with an
// identity. Truth is read from a MOTChallenge text file
// ("frame,id,left,top,width,height,conf,..."; frame 1 is the first frame);
// results come from a detections file written in record mode, whose k-th
// result is frame k + 1 + frame_offset.
//
// Matching rules:
//   - A result and a truth box can match when their IoU is at least the
//     threshold (0.5 by default).
//   - CLEAR-MOT, per frame: a truth identity stays with the result identity
//     it matched in the previous frame while their IoU stays above the
//     threshold; the others are paired by optimal assignment (least total
//     1 - IoU). A truth identity matched to another result identity than
//     the last one it was matched to is an identity switch.
//   - Every truth box is scored by default. With ignore_zero_confidence,
//     truth boxes whose confidence column is 0 (the later MOTChallenge
//     convention for people who should not be scored) are set aside: a
//     result that pairs with one is neither a hit nor a false positive,
//     and missing one is no miss.
//   - IDF1: one-to-one assignment of whole truth trajectories to whole
//     result trajectories that maximises the frames where they match.
#ifndef TOOLS_SCORE_MOT_METRICS_H_
#define TOOLS_SCORE_MOT_METRICS_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"

namespace kestu_tools {

struct MotBox {
  int64_t id = 0;
  cv::Rect2d box;
  bool zero_confidence = false;  // truth only
};

// Index f holds the boxes of frame f + 1.
using MotFrames = std::vector<std::vector<MotBox>>;

// The last frame number accepted (more than four days at 30 frames per
// second), so that a stray number cannot claim gigabytes of empty frames.
constexpr int64_t kMaxMotFrame = 10000000;

// Reads a MOTChallenge file. False with a message naming the line when a
// line does not parse, a frame is not a whole number from 1 to
// kMaxMotFrame, an identity is not a whole number or appears twice in one
// frame, a box is not positive, or the file holds no box.
bool ReadMotFile(const std::string& path, MotFrames* frames,
                 std::string* error);
// The same from text already read (`name` is used in messages).
bool ParseMot(const std::string& text, const std::string& name,
              MotFrames* frames, std::string* error);

// The tracked boxes of every result, result k as frame k + 1 + frame_offset
// (results that would fall before frame 1 or after kMaxMotFrame are
// skipped). A detection that
// reports an ended track (it carries the ROI exit or the track summary of
// its track in the same result) is not a box of that frame and is left out.
MotFrames ResultsAsFrames(
    const ::talvenrook::vision::v1::VisionResultList& results,
    int frame_offset);

// True for the ZONE_EXIT that a pipeline without zones makes for an ended
// track (zone name "ROI #n"), which is no zone crossing.
bool IsRoiExit(const ::talvenrook::vision::v1::VisionEvent& event);

// Intersection over union of two boxes; 0 when either is empty.
double Iou(const cv::Rect2d& a, const cv::Rect2d& b);

struct ClearMot {
  int64_t truth_boxes = 0;  // not ignored
  int64_t result_boxes = 0;
  int64_t matches = 0;
  int64_t misses = 0;
  int64_t false_positives = 0;
  int64_t identity_switches = 0;
  double mota = 0.0;  // 1 - (misses + false positives + switches) / truth
  double motp = 0.0;  // mean IoU of the matches
};

struct IdentityScore {
  int64_t idtp = 0, idfp = 0, idfn = 0;
  double idf1 = 0.0, idp = 0.0, idr = 0.0;
};

struct ScoreSummary {
  ClearMot clear;
  IdentityScore identity;
  int64_t truth_identities = 0;
  int64_t result_tracks = 0;
  int64_t frames = 0;  // frames scored: the longer of the two lists
};

struct ScoreOptions {
  double iou_threshold = 0.5;
  bool ignore_zero_confidence = false;
};

// Scores `results` against `truth`. Frames present in only one of the two
// count as frames where the other has nothing.
ScoreSummary Score(const MotFrames& truth, const MotFrames& results,
                   const ScoreOptions& options = ScoreOptions());

}  // namespace kestu_tools

#endif  // TOOLS_SCORE_MOT_METRICS_H_
