#include "vision/config/uuid.h"

#include <cstdio>
#include <mutex>
#include <random>

namespace talvenrook_vision {

std::string NewUuid() {
  static std::mutex mutex;  // guards engine
  static std::mt19937_64 engine{std::random_device{}()};
  uint64_t halves[2];
  {
    std::lock_guard<std::mutex> lock(mutex);
    halves[0] = engine();
    halves[1] = engine();
  }
  unsigned char b[16];
  for (int i = 0; i < 16; ++i) {
    b[i] = static_cast<unsigned char>(halves[i / 8] >> (8 * (i % 8)));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                "%02x%02x%02x%02x%02x%02x",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
                b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace talvenrook_vision
