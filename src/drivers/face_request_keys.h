// The keys of the face driver's config map that choose what a face
// pipeline is asked to recognise (its VisionRequest).
#ifndef SRC_DRIVERS_FACE_REQUEST_KEYS_H_
#define SRC_DRIVERS_FACE_REQUEST_KEYS_H_

#include "vision/config/key_table.h"

namespace vostek_kestu {

struct FaceRequestKeys {
  bool with_detection = true;  // the faces and their head pose
  bool with_age = true;
  bool with_gender = true;
  bool with_emotion = true;
  bool with_mask = true;   // with a MASK model only
  bool with_spoof = true;  // with a SPOOF model only
  bool with_face_features = false;
};

// Built on first use; safe to call from any thread.
const talvenrook_vision::KeyTable<FaceRequestKeys>& FaceRequestKeyTable();

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_FACE_REQUEST_KEYS_H_
