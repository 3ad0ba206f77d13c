#include "src/common/uuid.h"

#include "vision/config/uuid.h"

namespace vostek_kestu {

std::string GenerateUuid() { return talvenrook_vision::NewUuid(); }

}  // namespace vostek_kestu
