// FaceBodyLinks: which person track is the body of which face track.
//
// Every frame, each face whose box lies inside a person's box (and is not
// empty) adds one to that (person, face) count. A person is a body when
// one of its counts exceeds kBodyFrames, and stays one after that face is
// gone. When a face ends, its body is the person with the strictly highest
// count (none on a tie); a face that is not published has no body and its
// counts are reset.
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_DETECT_FACE_BODY_LINKS_H_
#define VISION_FACE_DETECT_FACE_BODY_LINKS_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vision/tracking/track.h"

namespace talvenrook_vision {

class FaceBodyLinks {
 public:
  // Frames a face must spend inside a person's box for the person to be
  // its body.
  static constexpr int32_t kBodyFrames = 5;

  // Counts this frame's faces inside this frame's people.
  void Associate(const std::vector<const Track*>& people,
                 const std::vector<const Track*>& faces);
  // The body of an ended face: a person id, or -1.
  int32_t BodyOfEndedFace(int32_t face_id, bool not_published);
  bool IsBody(int32_t person_id) const;
  // Faces that are gone leave the counts; the people that were their body
  // remember it.
  void ForgetFaces(const std::vector<int32_t>& face_ids);
  void ForgetPerson(int32_t person_id);
  // Entries kept: bounded by the live person tracks.
  size_t size() const { return faces_.size() + bodies_.size(); }

 private:
  // person id -> (face id -> frames the face spent inside the person)
  std::unordered_map<int32_t, std::unordered_map<int32_t, int32_t>> faces_;
  // Live persons that were the body of a face that is gone.
  std::unordered_set<int32_t> bodies_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_BODY_LINKS_H_
