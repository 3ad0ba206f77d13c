#include "vision/face/detect/face_body_links.h"

namespace talvenrook_vision {
namespace {

bool Inside(const cv::Rect& inner, const cv::Rect& outer) {
  return (inner & outer) == inner && inner.area() > 0;
}

}  // namespace

void FaceBodyLinks::Associate(const std::vector<const Track*>& people,
                              const std::vector<const Track*>& faces) {
  for (const Track* person : people) {
    for (const Track* face : faces) {
      if (Inside(face->box, person->box)) ++faces_[person->id][face->id];
    }
  }
}

int32_t FaceBodyLinks::BodyOfEndedFace(int32_t face_id, bool not_published) {
  int32_t best_person = -1;
  int32_t best_count = 0;
  bool tie = false;
  for (auto& [person, counts] : faces_) {
    auto it = counts.find(face_id);
    if (it == counts.end()) continue;
    if (not_published) {
      it->second = 0;
      continue;
    }
    if (it->second > best_count) {
      best_person = person;
      best_count = it->second;
      tie = false;
    } else if (it->second == best_count && best_count > 0) {
      tie = true;
    }
  }
  return tie ? -1 : best_person;
}

bool FaceBodyLinks::IsBody(int32_t person_id) const {
  if (bodies_.count(person_id) != 0) return true;
  auto it = faces_.find(person_id);
  if (it == faces_.end()) return false;
  for (const auto& entry : it->second) {
    if (entry.second > kBodyFrames) return true;
  }
  return false;
}

void FaceBodyLinks::ForgetFaces(const std::vector<int32_t>& face_ids) {
  for (int32_t face : face_ids) {
    for (auto& [person, counts] : faces_) {
      auto it = counts.find(face);
      if (it == counts.end()) continue;
      if (it->second > kBodyFrames) bodies_.insert(person);
      counts.erase(it);
    }
  }
}

void FaceBodyLinks::ForgetPerson(int32_t person_id) {
  faces_.erase(person_id);
  bodies_.erase(person_id);
}

}  // namespace talvenrook_vision
