#ifndef VISION_CONFIG_UUID_H_
#define VISION_CONFIG_UUID_H_

#include <string>

namespace talvenrook_vision {

// A random version-4 UUID: 128 bits from a generator seeded once per process
// from the system's random device, version nibble 4, variant bits 10, written
// as lower-case hexadecimal groups of 8-4-4-4-12. Safe to call from any
// thread.
std::string NewUuid();

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_UUID_H_
