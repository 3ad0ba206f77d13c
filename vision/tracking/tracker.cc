#include "vision/tracking/tracker.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_set>

#include <opencv2/imgproc.hpp>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/tracking/assignment.h"

namespace talvenrook_vision {
namespace {

// Distance of a pair that may not be matched by position.
constexpr float kNoPartner = std::numeric_limits<float>::max();

// The id counter shared by every tracker of the process; ids never repeat
// within a run. Reserved ids lie ahead of the counter (at most one offset
// ahead), and the counter steps over them, so the set stays bounded by the
// largest offset.
struct TrackIdCounter {
  std::mutex mutex;  // guards next and reserved
  uint32_t next = 0;
  std::unordered_set<uint32_t> reserved;
};

TrackIdCounter& IdCounter() {
  static TrackIdCounter* const counter = new TrackIdCounter();
  return *counter;
}

int32_t NextTrackId() {
  TrackIdCounter& counter = IdCounter();
  std::lock_guard<std::mutex> lock(counter.mutex);
  while (!counter.reserved.empty() &&
         counter.reserved.erase(counter.next) != 0) {
    ++counter.next;
  }
  return static_cast<int32_t>(counter.next++);
}

void ReserveTrackId(int64_t id) {
  if (id < 0 || id > std::numeric_limits<uint32_t>::max()) return;
  TrackIdCounter& counter = IdCounter();
  std::lock_guard<std::mutex> lock(counter.mutex);
  if (static_cast<uint32_t>(id) >= counter.next) {
    counter.reserved.insert(static_cast<uint32_t>(id));
  }
}

// A descriptor the descriptor pass can use: one CV_32F row.
bool UsableDescriptor(const cv::Mat& descriptor) {
  return descriptor.rows == 1 && descriptor.cols > 0 &&
         descriptor.type() == CV_32F;
}

bool InsideRegion(const cv::Rect& box, const cv::Rect& r) {
  const int half_w = box.width / 2;
  const int half_h = box.height / 2;
  return r.x - half_w <= box.x && box.x + box.width <= r.x + r.width + half_w &&
         r.y - half_h <= box.y && box.y + box.height <= r.y + r.height + half_h;
}

double Overlap(const cv::Rect& a, const cv::Rect& b) {
  if (a.width <= 0 || a.height <= 0 || b.width <= 0 || b.height <= 0) {
    return 0.0;
  }
  const double inter = (a & b).area();
  return inter / (static_cast<double>(a.area()) + b.area() - inter);
}

// Cost of a pair the IoU pass may not make; every admissible cost is
// below it.
constexpr double kNoMatchCost = 1e6;

// L2 distance of two descriptors of one shape; 0 when either is missing,
// so that a box without a descriptor is matched on overlap alone.
double DescriptorDistance(const cv::Mat& a, const cv::Mat& b) {
  if (!UsableDescriptor(a) || !UsableDescriptor(b) || a.cols != b.cols) {
    return 0.0;
  }
  return cv::norm(a, b, cv::NORM_L2);
}

}  // namespace

Tracker::Tracker(const TrackingClock* clock) : clock_(clock) {
  Configure(Parameters());
}

bool Tracker::Configure(const Entity& config) {
  Parameters p;
  ReadTrackerParameters(config, &p);
  const bool ok = Configure(p);
  NoteInfo(absl::StrCat(
      "Configuring Tracker: {frames_to_count: ", parameters_.frames_to_count,
      ", frames_to_discard: ", parameters_.frames_to_discard, "}"));
  return ok;
}

bool Tracker::Configure(const Parameters& parameters) {
  parameters_ = parameters;
  if (parameters_.frames_to_count < 1) parameters_.frames_to_count = 1;
  if (parameters_.max_missed == -1) {
    parameters_.max_missed = parameters_.frames_to_discard;
  }
  ended_.clear();
  dropped_.clear();
  tracks_.clear();
  motion_.clear();
  return true;
}

bool Tracker::Update(const std::vector<cv::Rect>& boxes,
                     const std::vector<float>& scores,
                     const std::vector<cv::Mat>& descriptors,
                     const std::vector<int32_t>& classes,
                     const std::vector<bool>& flags) {
  ended_.clear();
  dropped_.clear();
  BuildCandidates(boxes, scores, descriptors, classes, flags);
  for (Track& track : tracks_) track.updated = false;
  PredictTracks();
  if (parameters_.max_missed != 0) {
    if (parameters_.association == Association::kIou) {
      IouPass();
    } else {
      GeometricPass();
    }
  }
  if (parameters_.deals_with_occlusion && !candidates_.empty()) {
    DescriptorPass();
  }
  BirthCandidates();
  return Bookkeeping();
}

void Tracker::BuildCandidates(const std::vector<cv::Rect>& boxes,
                              const std::vector<float>& scores,
                              const std::vector<cv::Mat>& descriptors,
                              const std::vector<int32_t>& classes,
                              const std::vector<bool>& flags) {
  candidates_.resize(boxes.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    Track& c = candidates_[i];
    c = Track();
    c.box = boxes[i];
    c.center = BoxCenter(boxes[i]);
    if (i < classes.size()) c.class_index = classes[i];
    if (i < flags.size()) c.flag = flags[i];
    if (i < descriptors.size()) c.descriptor = descriptors[i];
    c.max_score = i < scores.size() ? scores[i] : 1.0f;
    c.last_score = c.max_score;
  }
}

const cv::Rect& Tracker::ReferenceBox(const Track& track) const {
  return parameters_.motion_model == MotionModel::kNone ? track.box
                                                        : track.predicted;
}

void Tracker::PredictTracks() {
  if (parameters_.motion_model == MotionModel::kNone) return;
  for (Track& track : tracks_) {
    auto it = motion_.find(track.id);
    track.predicted = it != motion_.end() && it->second.initialised()
                          ? it->second.Predict()
                          : track.box;
  }
}

float Tracker::Distance(const Track& a, const Track& b) const {
  const cv::Rect& ra = a.box;
  const cv::Rect& rb = ReferenceBox(b);
  if (ra.width <= 0 || ra.height <= 0 || rb.width <= 0 || rb.height <= 0) {
    return kNoPartner;
  }
  const cv::Point cb = &rb == &b.box ? b.center : BoxCenter(rb);
  const int dx = std::abs(a.center.x - cb.x);
  const int dy = std::abs(a.center.y - cb.y);
  const int dw = std::abs(ra.width - rb.width);
  const int dh = std::abs(ra.height - rb.height);
  const double dc = static_cast<double>(dx) + static_cast<double>(dy);
  if (!(dc / std::min(ra.width, rb.width) < parameters_.distance_threshold)) {
    return kNoPartner;
  }
  const double deformation = parameters_.deformation_threshold;
  if (!(static_cast<double>(dw) / std::max(ra.width, rb.width) < deformation) ||
      !(static_cast<double>(dh) / std::max(ra.height, rb.height) <
        deformation)) {
    return kNoPartner;
  }
  return static_cast<float>(dx) + static_cast<float>(dy) +
         static_cast<float>(dw) + static_cast<float>(dh);
}

void Tracker::GeometricPass() {
  const size_t nc = candidates_.size();
  const size_t nt = tracks_.size();
  distances_.resize(nc * nt);
  for (size_t i = 0; i < nc; ++i) {
    for (size_t j = 0; j < nt; ++j) {
      distances_[i * nt + j] = Distance(candidates_[i], tracks_[j]);
    }
  }
  // Nearest partner of each side; the first in order wins ties.
  auto nearest = [&](size_t count, auto distance_at, int* best,
                     char* ambiguous) {
    float best_distance = kNoPartner;
    int admissible = 0;
    *best = -1;
    for (size_t k = 0; k < count; ++k) {
      const float d = distance_at(k);
      if (d == kNoPartner) continue;
      ++admissible;
      if (d < best_distance) {
        best_distance = d;
        *best = static_cast<int>(k);
      }
    }
    *ambiguous = !parameters_.match_group && admissible > 1;
  };
  best_track_.resize(nc);
  candidate_ambiguous_.resize(nc);
  for (size_t i = 0; i < nc; ++i) {
    nearest(
        nt, [&](size_t j) { return distances_[i * nt + j]; }, &best_track_[i],
        &candidate_ambiguous_[i]);
  }
  best_candidate_.resize(nt);
  track_ambiguous_.resize(nt);
  for (size_t j = 0; j < nt; ++j) {
    nearest(
        nc, [&](size_t i) { return distances_[i * nt + j]; },
        &best_candidate_[j], &track_ambiguous_[j]);
  }
  const float max_missed = static_cast<float>(parameters_.max_missed);
  for (size_t j = 0; j < nt; ++j) {
    const int c = best_candidate_[j];
    if (c < 0 || best_track_[c] != static_cast<int>(j)) continue;
    if (track_ambiguous_[j] || candidate_ambiguous_[c]) continue;
    if (!(tracks_[j].missed < max_missed) || !(0.0f < max_missed)) continue;
    UpdateTrack(&tracks_[j], candidates_[c]);
    candidates_[c].id = kConsumedTrackId;
  }
}

void Tracker::IouPass() {
  const int nc = static_cast<int>(candidates_.size());
  const int nt = static_cast<int>(tracks_.size());
  if (nc == 0 || nt == 0) return;
  const float max_missed = static_cast<float>(parameters_.max_missed);
  iou_cost_.create(nc, nt, CV_64F);
  for (int i = 0; i < nc; ++i) {
    for (int j = 0; j < nt; ++j) {
      const Track& track = tracks_[j];
      const bool eligible = track.missed < max_missed && 0.0f < max_missed;
      const double overlap =
          eligible ? Overlap(candidates_[i].box, ReferenceBox(track)) : 0.0;
      double cost = kNoMatchCost;
      if (overlap >= parameters_.iou_threshold) {
        cost = 1.0 - overlap;
        if (parameters_.appearance_weight > 0.0) {
          cost +=
              parameters_.appearance_weight *
              DescriptorDistance(candidates_[i].descriptor, track.descriptor);
        }
      }
      iou_cost_.at<double>(i, j) = cost;
    }
  }
  const std::vector<int> track_of = AssignBelow(iou_cost_, kNoMatchCost);
  for (int i = 0; i < nc; ++i) {
    if (track_of[i] < 0) continue;
    UpdateTrack(&tracks_[track_of[i]], candidates_[i]);
    candidates_[i].id = kConsumedTrackId;
  }
}

bool Tracker::CollectDescriptors() {
  train_tracks_.clear();
  query_candidates_.clear();
  int width = 0;
  for (size_t j = 0; j < tracks_.size(); ++j) {
    const Track& t = tracks_[j];
    if (t.updated || !UsableDescriptor(t.descriptor)) continue;
    if (width == 0) width = t.descriptor.cols;
    if (t.descriptor.cols == width)
      train_tracks_.push_back(static_cast<int>(j));
  }
  if (train_tracks_.empty()) return false;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    const Track& c = candidates_[i];
    if (c.id == kConsumedTrackId || !UsableDescriptor(c.descriptor)) continue;
    if (c.descriptor.cols == width) {
      query_candidates_.push_back(static_cast<int>(i));
    }
  }
  if (query_candidates_.empty()) return false;
  train_.create(static_cast<int>(train_tracks_.size()), width, CV_32F);
  for (size_t k = 0; k < train_tracks_.size(); ++k) {
    tracks_[train_tracks_[k]].descriptor.copyTo(
        train_.row(static_cast<int>(k)));
  }
  query_.create(static_cast<int>(query_candidates_.size()), width, CV_32F);
  for (size_t k = 0; k < query_candidates_.size(); ++k) {
    candidates_[query_candidates_[k]].descriptor.copyTo(
        query_.row(static_cast<int>(k)));
  }
  return true;
}

void Tracker::DescriptorPass() {
  if (!CollectDescriptors()) return;
  try {
    matcher_.match(query_, train_, matches_);
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    return;
  }
  chosen_.assign(tracks_.size(), -1);
  chosen_distance_.assign(tracks_.size(), 0.0f);
  for (const cv::DMatch& m : matches_) {
    if (m.distance > parameters_.descriptors_threshold) continue;
    const int c = query_candidates_[m.queryIdx];
    const int j = train_tracks_[m.trainIdx];
    const Track& candidate = candidates_[c];
    const Track& track = tracks_[j];
    if (parameters_.descriptors_check_distance) {
      const cv::Point center = parameters_.motion_model == MotionModel::kNone
                                   ? track.center
                                   : BoxCenter(track.predicted);
      const double s = std::hypot(center.x - candidate.center.x,
                                  center.y - candidate.center.y);
      if (s >= (track.missed + 1.0) * candidate.box.width &&
          s >= 1.4 * std::max(candidate.box.width, track.box.width)) {
        continue;
      }
    }
    if (chosen_[j] < 0 || m.distance < chosen_distance_[j]) {
      chosen_[j] = c;
      chosen_distance_[j] = m.distance;
    }
  }
  for (size_t j = 0; j < tracks_.size(); ++j) {
    if (chosen_[j] < 0) continue;
    UpdateTrack(&tracks_[j], candidates_[chosen_[j]]);
    candidates_[chosen_[j]].id = kConsumedTrackId;
  }
}

void Tracker::BirthCandidates() {
  for (Track& candidate : candidates_) {
    if (candidate.id == kConsumedTrackId) continue;
    candidate.id = NextTrackId();
    if (parameters_.reserved_id_offset > 0) {
      ReserveTrackId(static_cast<int64_t>(static_cast<uint32_t>(candidate.id)) +
                     parameters_.reserved_id_offset);
    }
    candidate.colour = TrackColour(candidate.id);
    candidate.missed = 0.0f;
    candidate.updated = true;
    candidate.hits = 1;
    candidate.birth_box = candidate.box;
    candidate.moved =
        parameters_.min_travel <= 0 && parameters_.min_growth <= 0.0 &&
        parameters_.min_relative_travel <= 0.0 && parameters_.min_change <= 0;
    if (parameters_.motion_model != MotionModel::kNone) {
      motion_[candidate.id].Init(candidate.box);
      candidate.predicted = candidate.box;
    }
    // The caller's descriptor buffer may be reused for the next frame.
    if (!candidate.descriptor.empty()) {
      candidate.descriptor = candidate.descriptor.clone();
    }
    tracks_.push_back(std::move(candidate));
  }
}

bool Tracker::Bookkeeping() {
  bool reached_count = false;
  for (Track& track : tracks_) {
    if (track.updated) {
      track.missed = 0.0f;
      if (track.hits == parameters_.frames_to_count) reached_count = true;
    } else {
      track.missed += 1.0f;
    }
  }
  const float discard = static_cast<float>(parameters_.frames_to_discard);
  size_t kept = 0;
  for (size_t j = 0; j < tracks_.size(); ++j) {
    Track& track = tracks_[j];
    if (track.missed > discard) {
      dropped_.push_back(track.id);
      motion_.erase(track.id);
      if (Confirmed(track) &&
          track.max_score >= parameters_.detection_score_threshold) {
        ended_.push_back(std::move(track));
      }
      continue;
    }
    if (kept != j) tracks_[kept] = std::move(track);
    ++kept;
  }
  tracks_.resize(kept);
  return reached_count;
}

void Tracker::UpdateTrack(Track* track, const Track& detection) {
  track->box = detection.box;
  track->center = detection.center;
  if (!track->moved && ShowsLife(*track)) track->moved = true;
  if (parameters_.motion_model != MotionModel::kNone) {
    motion_[track->id].Correct(detection.box);
  }
  track->class_index = detection.class_index;
  track->missed = 0.0f;
  track->updated = true;
  track->hits += 1;
  track->max_score = std::max(track->max_score, detection.max_score);
  track->last_score = detection.max_score;
  const int64_t now = clock_->Ticks();
  if (track->last_tick != 0) {
    track->accumulated_ticks += now - track->last_tick;
    track->interval_count += 1;
  }
  track->tracked_seconds = static_cast<float>(
      static_cast<double>(track->accumulated_ticks) / clock_->TickFrequency());
  track->last_tick = now;
  if (!detection.descriptor.empty()) {
    const int n = ++track->descriptor_count;
    const bool same_shape =
        track->descriptor.size == detection.descriptor.size &&
        track->descriptor.type() == detection.descriptor.type();
    if (n == 1 || !same_shape) {
      // A descriptor of another shape cannot be averaged in: restart the mean.
      detection.descriptor.copyTo(track->descriptor);
      track->descriptor_count = 1;
    } else {
      cv::addWeighted(track->descriptor, (n - 1.0) / n, detection.descriptor,
                      1.0 / n, 0.0, track->descriptor);
    }
  }
  track->flag = detection.flag;
}

int Tracker::CarryForward() {
  ended_.clear();
  dropped_.clear();
  int carried = 0;
  PredictTracks();
  for (Track& track : tracks_) {
    const bool carry = track.updated && Confirmed(track);
    track.updated = carry;
    if (!carry) continue;
    if (parameters_.motion_model != MotionModel::kNone) {
      track.box = track.predicted;
      track.center = BoxCenter(track.box);
    }
    ++carried;
  }
  return carried;
}

void Tracker::KeepAliveOutside(std::vector<cv::Rect> regions) {
  for (Track& track : tracks_) {
    if (track.missed != 1.0f || !Confirmed(track)) continue;
    const bool inside = std::any_of(
        regions.begin(), regions.end(),
        [&](const cv::Rect& r) { return InsideRegion(track.box, r); });
    if (inside) continue;
    track.updated = true;
    track.hits += 1;
    track.missed = 0.0f;
  }
}

const std::vector<const Track*>& Tracker::GetTracks(bool include_unconfirmed) {
  selected_.clear();
  for (const Track& track : tracks_) {
    if (!track.updated) continue;
    if (include_unconfirmed || Confirmed(track)) {
      selected_.push_back(&track);
    }
  }
  return selected_;
}

void Tracker::Draw(cv::Mat* frame, bool draw_ids) const {
  if (frame == nullptr || frame->empty()) return;
  for (const Track& track : tracks_) {
    if (!track.updated || !Confirmed(track)) continue;
    cv::rectangle(*frame, track.box, track.colour, 2);
    if (draw_ids) {
      cv::putText(*frame, std::to_string(track.id), track.box.tl(),
                  cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(255, 255, 255), 1);
    }
  }
}

}  // namespace talvenrook_vision
