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

// The allocator's arenas the process may use. Every reader of a live
// camera is a thread of its own, and each new thread may take an arena of
// its own that keeps the memory its thread freed: with the default (eight
// per core) the memory grew by about 2 MB per camera outage.
inline constexpr int kAllocatorArenas = 2;

// Caps the allocator's arenas at kAllocatorArenas, unless MALLOC_ARENA_MAX
// says otherwise. Call at start, before other threads run.
void LimitAllocatorArenas();

}  // namespace vostek_kestu

#endif  // SRC_COMMON_FREE_MEMORY_H_
