#include "driver/commands/recovery.h"

namespace zq::drv {

// The recovery is not part of this build yet.
const RecoverySeam kRecovery{};

}  // namespace zq::drv
