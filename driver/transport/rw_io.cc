#include "driver/transport/rw_io.h"

#include "driver/api/shared_area.h"
#include "driver/log/output_log.h"
#include "platform/win32_errors.h"

namespace zq::drv {

// No comm library is bound by this build, so no bridge is ever open: the
// byte transport reports "not open" as it does for any closed unit.

int32_t RW_Write(PortDataArea& area, const uint8_t* frame, uint32_t length) {
  OutputLog(2, area.port, frame, static_cast<int32_t>(length), "RW_Write() CALL, WRLen=%d WriteData=",
            static_cast<int>(length));
  if (area.openMarkers[2] == 0) {
    OutputLog(0, area.port, nullptr, 0, "D_ID_USBDRV 110 WRITE NOT OPEN ERROR");
  }
  OutputLog(2, area.port, nullptr, 0, "D_ID_USBDRV 101 WRITE ERROR Ret=%08x LastError=%d",
            static_cast<uint32_t>(kRwNotOpen), static_cast<int>(platform::LastError()));
  return kRwNotOpen;
}

int32_t RW_Read(PortDataArea& area, uint8_t*, uint32_t, uint32_t) {
  OutputLog(2, area.port, nullptr, 0, "RW_Read() start,g_SlowDspCmdFlag=%d", 0);
  OutputLog(0, area.port, nullptr, 0, "D_ID_USBDRV 100 READ NOT OPEN ERROR");
  OutputLog(2, area.port, nullptr, 0, "RW_Read() end:RetValue=%d", kRwNotOpen);
  return kRwNotOpen;
}

int32_t k_PurgeComm(PortDataArea& area) {
  // The purge report cannot reach an unbound comm library.
  const int32_t result = static_cast<int32_t>(platform::kErrorInvalidHandle);
  OutputLog(2, area.port, nullptr, 0, "k_PurgeComm  HidRfrwSetFeature() dwRet=%d", result);
  return result;
}

}  // namespace zq::drv
