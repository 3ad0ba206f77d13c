#include "vision/config/setup_status.h"

namespace talvenrook_vision {
namespace {

std::string& LastLoadErrorSlot() {
  thread_local std::string reason;
  return reason;
}

}  // namespace

const std::string& LastLoadError() { return LastLoadErrorSlot(); }

void SetLastLoadError(const std::string& reason) {
  LastLoadErrorSlot() = reason;
}

}  // namespace talvenrook_vision
