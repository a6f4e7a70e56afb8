#include "driver/commands/transmit.h"

#include "ZELQUAR_Drv.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/recovery.h"
#include "driver/commands/routing.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "platform/os/clock.h"
#include "protocol/frame.h"
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

constexpr RecoveryLoopLines kTransmitLines{"g_RwPowerOffOnRetryTotalCount=%d", true};
constexpr RecoveryLoopLines kPowerCtrlLines{"g_RwPowerOffOnRetryTotalCount = %d", false};

int32_t RecoveryLimit() {
  return Bounded(&SharedArea::rwPowerOffOnRetryCount, 3);
}

void PauseAfterFailedRecovery() { platform::SleepMilliseconds(kRecoveryPauseMs); }

// The status word of the power command's answer: the body's first two
// bytes when it is just a status word, else its second and third.
int32_t PowerStatusOf(const uint8_t* frame) {
  const size_t n = protocol::PayloadLength(frame);
  if (n < 2) return protocol::kSwGeneralFailure;  // no status word to report
  const uint8_t* at = n == 2 ? frame + 3 : frame + 4;
  return (at[0] << 8) | at[1];
}

}  // namespace

int32_t RunWithRecovery(int32_t limit, const std::function<int32_t()>& send, const RecoveryCall* recover,
                        const std::function<void()>& pause, const RecoveryLoopLines& lines) {
  int32_t& count = RwPowerOffOnRetryTotalCount();
  auto logCount = [&] { OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, lines.count, count); };
  for (;;) {
    RwPowerOffOnRetryFlag() = 0;
    const int32_t result = send();
    if (RwPowerOffOnRetryFlag() == 0) return result;
    ++count;
    logCount();
    if (count > limit || !recover) return result;
    for (;;) {
      uint16_t sw = 0;
      const int32_t recovered = (*recover)(&sw);
      if (recovered == 0 || lines.endLineAfterFailure) {
        OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "RfPowerOffOnRetry End,StatusWord=0x%x", sw);
      }
      if (recovered == 0 && sw == protocol::kSwSuccess) break;  // send the command again
      if (recovered != 0) pause();
      ++count;
      logCount();
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
  RecoveryCall recover = [&](uint16_t* sw) { return RfPowerOffOnRetry(entry, sw, sLen, sndData); };
  return RunWithRecovery(RecoveryLimit(), send, &recover, PauseAfterFailedRecovery,
                         kTransmitLines);
}

int32_t k_PowerCtrlDispatch(PortEntry& entry, int32_t power, int32_t* sts) {
  RwPowerOffOnRetryTotalCount() = 0;
  auto send = [&]() -> int32_t {
    uint8_t frame[kInternalFrameSize] = {};
    const int32_t result = Internal_PowerCtrlCMD(power, frame);
    if (result == 0) *sts = PowerStatusOf(frame);
    if (result != 0 && RwPowerOffOnRetryFlag() == 0) {
      OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "D_Error RFRW_PowerCtrl(6) detail = %d  (%d)", result, 1050);
    }
    return result;
  };
  // The power command has no setting of its own to keep from the replay.
  static const uint8_t kNoCommand[4] = {0, 0, 0, 0};
  RecoveryCall recover = [&](uint16_t* sw) { return RfPowerOffOnRetry(entry, sw, 0, kNoCommand); };
  return RunWithRecovery(RecoveryLimit(), send, &recover, PauseAfterFailedRecovery,
                         kPowerCtrlLines);
}

}  // namespace zq::drv
