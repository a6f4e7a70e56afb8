#include "driver/api/bring_up.h"

#include "ZELQUAR_Drv.h"
#include "driver/api/port_entries.h"
#include "driver/commands/firmware.h"
#include "driver/commands/handlers.h"
#include "driver/commands/recovery.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "platform/os/clock.h"

namespace zq::drv {
namespace {

// The reader needs this long after entering its operating mode.
constexpr uint32_t kOperatingModeSettleMs = 200;

// 0 when the device came back and the bring-up may start again.
int32_t RecoverDevice(PortEntry& entry) {
  return RfPowerOffOnRetry_Sub(entry);
}

}  // namespace

int32_t BringUpReader(uint32_t port, PortEntry& entry, const OpenFlags& open) {
  const SharedArea& area = *Shared();
  const bool skipDownload = (area.dspDownloadCutMode & 1) != 0 || open.skipDownload;
  const bool passThrough = (area.dspPassThroughMode & 1) != 0 || open.passThrough;
  for (;;) {
    if (!skipDownload) {
      const int32_t downloaded = k_Download_Firm(entry);
      if (downloaded != 0) {
        if (RecoverDevice(entry) == 0) continue;
        OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(5) detail = %d  (%d)", downloaded, 860);
        k_RFRW_Close(port);
        return downloaded;
      }
    }
    if (passThrough) return RFRW_SUCCESS;
    if (open.bootMode) {
      OutputLog(LogLevel::kCall, port, nullptr, 0, "DSP Boot Mode Set");
      return RFRW_SUCCESS;
    }
    uint8_t frame[kInternalFrameSize] = {};
    const int32_t result = Internal_FarmModeCMD(frame);
    if (result == 0) {
      platform::SleepMilliseconds(kOperatingModeSettleMs);
      return RFRW_SUCCESS;
    }
    if (RecoverDevice(entry) == 0) continue;
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(8) detail1 = %d  (%d)", result, 868);
    k_RFRW_Close(port);
    return result;
  }
}

}  // namespace zq::drv
