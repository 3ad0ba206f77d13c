// Returning freed heap memory to the system after large messages.
#ifndef SRC_COMMON_FREE_MEMORY_H_
#define SRC_COMMON_FREE_MEMORY_H_

#include <cstddef>

namespace vostek_kestu {

// Messages above this size leave enough freed memory behind that the
// allocator is asked to give it back.
inline constexpr size_t kLargeMessageBytes = 1 << 20;

// Gives the free memory of every allocator arena back to the system, so that
// a burst of large messages does not leave the process holding it. Takes a
// few milliseconds on a large heap: call it after large messages, not per
// message.
void ReturnFreeMemoryToSystem();

}  // namespace vostek_kestu

#endif  // SRC_COMMON_FREE_MEMORY_H_
