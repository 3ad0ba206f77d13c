#include "vision/config/setup_status.h"

#include "absl/strings/str_cat.h"

namespace talvenrook_vision {

absl::Status SetupError(absl::string_view message) {
  return absl::InvalidArgumentError(
      message.empty() ? absl::string_view("unknown error") : message);
}

absl::Status WithContext(const absl::Status& status,
                         absl::string_view context) {
  if (status.ok()) return status;
  return absl::Status(status.code(),
                      absl::StrCat(context, ": ", status.message()));
}

}  // namespace talvenrook_vision
