#include "src/common/free_memory.h"

#include <malloc.h>

#include <cstdlib>

namespace vostek_kestu {

void ReturnFreeMemoryToSystem() { malloc_trim(0); }

void LimitAllocatorArenas() {
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr) return;
  mallopt(M_ARENA_MAX, kAllocatorArenas);
}

}  // namespace vostek_kestu
