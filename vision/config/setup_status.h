// SetupStatus: the outcome of setting something up from a configuration
// (a pipeline, a region's detector, a model): success, or the reason it
// failed, written for the client who sent the configuration.
//
//   SetupStatus status = pipeline.Setup(config);
//   if (!status.ok()) Report(status.message());
//
// A failed status always carries a message. Wrap() prefixes a failure's
// message with what was being set up ("ROI #1 day detector: ...").
#ifndef VISION_CONFIG_SETUP_STATUS_H_
#define VISION_CONFIG_SETUP_STATUS_H_

#include <string>
#include <utility>

namespace talvenrook_vision {

class SetupStatus {
 public:
  static SetupStatus Ok() { return SetupStatus(true, std::string()); }
  // Requires: a non-empty message (an empty one reads "unknown error").
  static SetupStatus Error(std::string message) {
    if (message.empty()) message = "unknown error";
    return SetupStatus(false, std::move(message));
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // Empty for a success.
  const std::string& message() const { return message_; }

  // This status, with "context: " before the message of a failure.
  SetupStatus Wrap(const std::string& context) const {
    if (ok_) return *this;
    return Error(context + ": " + message_);
  }

 private:
  SetupStatus(bool ok, std::string message)
      : ok_(ok), message_(std::move(message)) {}

  bool ok_;
  std::string message_;
};

// The reason the last model load on this thread failed, as the inference
// engine gave it (OpenCV's reason, a file that cannot be read), for set-up
// code that reports the failure under the model's name. Cleared by
// SetLastLoadError("").
const std::string& LastLoadError();
void SetLastLoadError(const std::string& reason);

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_SETUP_STATUS_H_
