#include "driver/commands/transmit.h"

#include "ZELQUAR_Drv.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/recovery.h"
#include "driver/commands/routing.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "platform/clock.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

constexpr uint32_t kRecoveryPauseMs = 500;

void LogRoutingError(const RouteDecision& d, uint32_t sLen, const uint8_t* c) {
  const uint32_t port = CurrentPort();
  const CommandHeader h = ReadHeader(sLen, c);
  switch (d.error) {
    case kRouteErrorGetAllEpcLength:
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(5) (%d)", 3818);
      break;
    case kRouteErrorGetHandleLength:
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(14) detail = %d", static_cast<int>(sLen));
      break;
    case kRouteErrorLc:
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(15) SndLen:0x%x iLen:0x%x", sLen, h.lc);
      break;
    case kRouteErrorFields:
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(16) SndLen:0x%x iLen:0x%x", sLen, h.lc);
      break;
    default:
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(10) CLA:0x%x INS:0x%x P1:0x%x P2:0x%x Le:0x%x 0x%x",
                h.cla, h.ins, h.p1, h.p2, h.lcHigh, h.lcLow);
      break;
  }
}

void LogCount() {
  OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "g_RwPowerOffOnRetryTotalCount=%d", RwPowerOffOnRetryTotalCount());
}

}  // namespace

int32_t RunWithRecovery(int32_t limit, const std::function<int32_t()>& send, const RecoveryCall* recover,
                        const std::function<void()>& pause) {
  int32_t& count = RwPowerOffOnRetryTotalCount();
  for (;;) {
    RwPowerOffOnRetryFlag() = 0;
    const int32_t result = send();
    if (RwPowerOffOnRetryFlag() == 0) return result;
    ++count;
    LogCount();
    if (count > limit || !recover) return result;
    for (;;) {
      uint16_t sw = 0;
      const int32_t recovered = (*recover)(&sw);
      OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "RfPowerOffOnRetry End,StatusWord=0x%x", sw);
      if (recovered == 0 && sw == protocol::kSwSuccess) break;  // send the command again
      if (recovered != 0) pause();
      ++count;
      LogCount();
      if (count > limit) return recovered;
    }
  }
}

int32_t k_TransmitDispatch(PortEntry& entry, uint32_t sLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData) {
  const SharedArea* area = Shared();
  if (area && (area->dspPassThroughMode & 3) != 0) {
    // Every command goes to the reader as it is; a reader fault leaves the
    // lines switched over and its log fetched, without a recovery.
    RwPowerOffOnRetryFlag() = 0;
    const int32_t result = Internal_RWPassThroughCMD(sLen, sndData, rcvLen, rcvData);
    if (RwPowerOffOnRetryFlag() != 0 && GpioSwitchOver() == 1) Internal_RWGetLogCMD(0);
    return result;
  }

  const int32_t given = *rcvLen;
  RwPowerOffOnRetryTotalCount() = 0;
  auto send = [&]() -> int32_t {
    *rcvLen = given;
    const RouteDecision d = RouteCommand(sLen, sndData);
    if (d.route == Route::kError) {
      LogRoutingError(d, sLen, sndData);
      *rcvLen = 0;
      return RFRW_ERROR_PARAMETER;
    }
    return RunRoute(d, sLen, sndData, rcvLen, rcvData);
  };
  RecoveryCall recover = [&](uint16_t* sw) { return kRecovery.RfPowerOffOnRetry(entry, sw, sLen, sndData); };
  const int32_t limit = area ? area->rwPowerOffOnRetryCount : 3;
  return RunWithRecovery(limit, send, kRecovery.RfPowerOffOnRetry ? &recover : nullptr,
                         [] { platform::SleepMilliseconds(kRecoveryPauseMs); });
}

}  // namespace zq::drv
