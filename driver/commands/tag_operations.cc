#include "driver/commands/tag_operations.h"

namespace zq::drv {

// No tag operation is part of this build yet.
const TagHandlers kTagHandlers{};

}  // namespace zq::drv
