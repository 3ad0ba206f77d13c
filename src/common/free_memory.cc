#include "src/common/free_memory.h"

#include <malloc.h>

namespace vostek_kestu {

void ReturnFreeMemoryToSystem() { malloc_trim(0); }

}  // namespace vostek_kestu
