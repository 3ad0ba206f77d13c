#include "src/drivers/face_request_keys.h"

namespace vostek_kestu {

const talvenrook_vision::KeyTable<FaceRequestKeys>& FaceRequestKeyTable() {
  using S = FaceRequestKeys;
  static const auto* const table = [] {
    auto* t = new talvenrook_vision::KeyTable<S>(
        "Face driver requests",
        "Keys of the face driver's config map that choose what the face "
        "pipeline is asked for.");
    t->Bool("with_detection", &S::with_detection,
            "Ask for the faces and their head pose.")
        .Bool("with_age", &S::with_age, "Ask for each face's age.")
        .Bool("with_gender", &S::with_gender, "Ask for each face's gender.")
        .Bool("with_emotion", &S::with_emotion, "Ask for each face's emotion.")
        .Bool("with_mask", &S::with_mask,
              "Ask whether each face wears a mask (with a MASK model).")
        .Bool("with_spoof", &S::with_spoof,
              "Ask whether each face is a spoof (with a SPOOF model).")
        .Bool("with_face_features", &S::with_face_features,
              "Ask for each face's descriptor (FACE_FEATURES).");
    return t;
  }();
  return *table;
}

}  // namespace vostek_kestu
