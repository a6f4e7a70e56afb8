// Sections: the shared steps (power off, reopen); the full recovery; the
// device-level recovery.
#include "driver/commands/recovery.h"

#include "ZELQUAR_Drv.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "driver/transport/device.h"
#include "driver/transport/hid_binding.h"
#include "platform/os/clock.h"
#include "protocol/status_word.h"

namespace zq::drv {

namespace {

// The reader needs this long in its operating mode before it takes settings.
constexpr uint32_t kOperatingModeSettleMs = 200;
// What the replayed commands may answer.
constexpr int32_t kReplayCapacity = 256;

void Log(LogLevel level, const char* format, int32_t value) { OutputLog(level, CurrentPort(), nullptr, 0, format, value); }

void LogLine(LogLevel level, const char* text) { OutputLogText(level, CurrentPort(), nullptr, 0, text); }

PortDataArea& DataAreaOf(PortEntry& entry) {
  return entry.dataArea ? *entry.dataArea : Shared()->portDataAreas[(CurrentPort() & 0xFFu) % kUnitCount];
}

int32_t Limit() {
  return Bounded(&SharedArea::rwPowerOffOnRetryCount, 3);
}

uint16_t StatusWordAt(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

// ---- the shared steps -------------------------------------------------------------

// Lines 7 and 8 switched over (and the reader's log kept while it still
// talks), the bridge restarted, the lines switched over again, the reader
// switched off: k_RW_ONOFF's result.
int32_t PowerOff(bool announce) {
  if (GpioSwitchOver() == 1) Internal_RWGetLogCMD(0);
  HidDeviceRestart();
  GpioSwitchOver();
  if (announce) LogLine(LogLevel::kError, "RW POWER OFF");
  return k_RW_ONOFF(0);
}

// The device closed and opened again (the reader powered on): k_RS_Open's result.
int32_t Reopen(PortEntry& entry) {
  PortDataArea& data = DataAreaOf(entry);
  RW_Close(data);
  return k_RS_Open(data);
}

}  // namespace

bool IsPowerLevelCommand(uint32_t sLen, const uint8_t* command) {
  return sLen == 4 && command && command[0] == 0x00 && command[1] == 0x18 && command[3] == 0x00;
}

// ---- the full recovery --------------------------------------------------------------

int32_t RfPowerOffOnRetry(PortEntry& entry, uint16_t* statusWord, uint32_t sLen, const uint8_t* command) {
  // The whole bridge is power-cycled: no other unit's exchange runs meanwhile.
  const auto bridge = HoldBridge();
  LogLine(LogLevel::kError, "RfPowerOffOnRetry Start");
  int32_t r = PowerOff(true);
  if (r == 0) r = Reopen(entry);
  if (r != 0) {
    Log(LogLevel::kError, "RfPowerOffOnRetry Error:RW UNIT POWER OFF/ON ERROR FncRet=%d", r);
    return r;
  }

  LogLine(LogLevel::kError, "RW FarmModeCMD Send");
  uint8_t frame[kInternalFrameSize] = {};
  if (r = Internal_FarmModeCMD(frame); r != 0) {
    Log(LogLevel::kError, "RfPowerOffOnRetry RwExecModeError detail1 = %d", r);
    return r;
  }
  *statusWord = StatusWordAt(frame + 3);
  if (*statusWord != protocol::kSwSuccess) return 0;
  platform::SleepMilliseconds(kOperatingModeSettleMs);

  const ReaderSettingsMemory& s = ReaderSettings();
  // A power-level command being retried sets its own level right after.
  if (!IsPowerLevelCommand(sLen, command)) {
    LogLine(LogLevel::kError, "RW PowerLevelSetCMD Send");
    uint8_t answer[kReplayCapacity] = {};
    int32_t n = kReplayCapacity;
    if (r = Internal_PowerLevelSetCMD(s.powerLevel, &n, answer); r != 0) {
      Log(LogLevel::kError, "RfPowerOffOnRetry TransmitError detail = %d", r);
      return r;
    }
    *statusWord = StatusWordAt(answer);
    OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "Internal_PowerLevelSetCMD End, RcvLen=%d,*StatusWord=0x%x", n,
              *statusWord);
    if (n != 2 || *statusWord != protocol::kSwSuccess) return 0;
  }

  LogLine(LogLevel::kError, "RW SndRcvSpeedCmd Send");
  uint8_t speed[kReplayCapacity + 3] = {};
  int32_t n = kReplayCapacity;
  if (r = internal_SndRcvSpeed(s.speedP1, s.speedP2, s.speedMode, s.delimiter, s.sendSpeed, s.receiveSpeed, s.channelMask, 0,
                               &n, speed);
      r != 0) {
    Log(LogLevel::kError, "RfPowerOffOnRetry TransmitError detail = %d", r);
    return r;
  }
  *statusWord = StatusWordAt(speed + 3);
  OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "Internal_SndRcvSpeedCMD End, RcvLen=%d,*StatusWord=0x%x", n,
            *statusWord);
  if (n != 2 || *statusWord != protocol::kSwSuccess) return 0;

  if (GpioSwitchBack() != 1) Log(LogLevel::kError, "RfPowerOffOnRetry Error:RW UNIT POWER OFF/ON ERROR FncRet=%d", 0);
  return 0;
}

// ---- the device-level recovery ----------------------------------------------------

int32_t RfPowerOffOnRetry_Sub(PortEntry& entry) {
  const auto bridge = HoldBridge();
  LogLine(LogLevel::kCall, "RfPowerOffOnRetry_Sub() Start");
  int32_t result = RFRW_ERROR_EXCHANGE;
  int32_t& count = RwPowerOffOnRetryTotalCount();
  for (;;) {
    ++count;
    Log(LogLevel::kCall, "RfPowerOffOnRetry_Sub, g_RwPowerOffOnRetryTotalCount=%d", count);
    if (count > Limit()) break;
    if (const int32_t off = PowerOff(false); off != 0) {
      Log(LogLevel::kError, "RfPowerOffOnRetry_Sub: k_RW_ONOFF() Error,FncRet=%d", off);
      result = off;
      continue;
    }
    result = Reopen(entry);
    if (result == 0) break;
    Log(LogLevel::kError, "RfPowerOffOnRetry_Sub: RW_Open() Error,FncRet=%d", result);
  }
  Log(LogLevel::kCall, "RfPowerOffOnRetry_Sub() End,FncRet=%d", result);
  return result;
}

}  // namespace zq::drv
