#include "driver/commands/firmware.h"

#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"

namespace zq::drv {

// This build has no firmware download: the reader keeps the firmware it
// has, which is what a matching firmware file would leave it with.
int32_t k_Download_Firm(PortEntry&) {
  OutputLog(LogLevel::kCall, CurrentPort(), nullptr, 0, "k_Download_Firm: no firmware download in this build");
  return 0;
}

}  // namespace zq::drv
