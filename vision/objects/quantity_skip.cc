#include "vision/objects/quantity_skip.h"

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/objects/object_keys.h"

namespace talvenrook_vision {

void QuantitySkip::Configure(const Entity& config) {
  WrapperSettings settings;
  WriteKeyProblems(
      WrapperKeyTable().ReadOnly(config, {"quantity_skip_obj"}, &settings));
  for (const Value& element : settings.quantity_skip_obj.values()) {
    int32_t period = 0;
    ConvertValue(element, &period);
    Append(period);
  }
}

void QuantitySkip::Append(int32_t period) {
  if (period < 1) {
    NoteWarning(absl::StrCat(
        "quantity_skip_obj entry ", period,
        " is not a positive number of frames; using 1 (every frame)"));
    period = 1;
  }
  periods_.push_back(period);
}

bool QuantitySkip::ClassifyNow(float uncertainty, int64_t frame_counter) const {
  const size_t n = periods_.size();
  if (n == 0) return false;
  const float width = 1.0f / static_cast<float>(n);
  for (size_t j = 0; j < n; ++j) {
    const float low = static_cast<float>(j) * width;
    const float high = static_cast<float>(j + 1) * width;
    if (low <= uncertainty && uncertainty <= high &&
        frame_counter % periods_[j] == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace talvenrook_vision
