// Set-up outcomes are absl::Status values: OK, or the reason something
// could not be set up from a configuration (a pipeline, a region's
// detector, a model), written for the client who sent it.
//
//   absl::Status status = pipeline.Setup(config);
//   if (!status.ok()) Report(status.message());
//
// A failure always carries a message. WithContext() prefixes a failure's
// message with what was being set up ("ROI #1 day detector: ...").
#ifndef VISION_CONFIG_SETUP_STATUS_H_
#define VISION_CONFIG_SETUP_STATUS_H_

#include <string>

#include "absl/status/status.h"
#include "absl/strings/string_view.h"

namespace talvenrook_vision {

// A failed set-up; an empty message reads "unknown error".
absl::Status SetupError(absl::string_view message);

// `status`, with "context: " before the message of a failure.
absl::Status WithContext(const absl::Status& status, absl::string_view context);

// The message of a status as a string, for building other messages.
inline std::string MessageOf(const absl::Status& status) {
  return std::string(status.message());
}

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_SETUP_STATUS_H_
