// The five exported functions of the driver library.
//
// Sections: RFRW_Open; RFRW_Close; RFRW_GetDllVersion; RFRW_CLRW_Transmit;
// RFRW_PowerCtrl. Each runs inside an ApiCallScope and never lets an
// exception reach the caller.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/api/bring_up.h"
#include "driver/api/lifecycle.h"
#include "driver/api/port_call.h"
#include "driver/api/port_entries.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/transmit.h"
#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/locks/locks.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/hid_binding.h"
#include "platform/os/channel.h"
#include "platform/os/files.h"
#include "platform/os/process.h"
#include "protocol/log_record.h"

namespace zq::drv {
namespace {

constexpr uint32_t kNoPort = 0x200;
constexpr int32_t kDetachedResult = RFRW_ERROR_INTERNAL;
constexpr uint32_t kMaxCommandLength = 1552;
// The most data one log record carries.
constexpr uint32_t kMaxLogData = static_cast<uint32_t>(logfmt::kMaxData);


// The open data block: 17 bytes whose bytes 12 and 13 are '#' and 'T'.
OpenFlags ExamineOpenBlock(int32_t dataLen, const uint8_t* data) {
  OpenFlags f;
  if (dataLen != 17 || !data || data[12] != '#' || data[13] != 'T') return f;
  f.skipDownload = (data[14] & 1) != 0;
  f.bootMode = (data[15] & 1) != 0;
  f.passThrough = (data[16] & 1) != 0;
  return f;
}

// ---- RFRW_Open ------------------------------------------------------------

// Steps from the port check to the reader's bring-up; the API mutex is held
// by the caller from step 6 on.
int32_t OpenUnderApiMutex(uint32_t port, SharedArea& area, const OpenFlags& flags) {
  // Decided by this process alone, from its own INI file and credentials.
  if (Config().adminCheckCut != 1 && !platform::IsAdministrator()) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "RFRW_Open() error end: No admin error");
    return RFRW_ERROR_NOT_ADMIN;
  }

  PortEntry& entry = LocalPortEntry(UnitIndexOf(port));
  PortSlot& slot = *entry.slot;
  if (slot.useCount != 0) {
    const uint32_t owner = slot.ownerProcessId;
    OutputLog(LogLevel::kStep, port, nullptr, 0, "RFRW_Open 二重オープン Hd=%x ProcessID=%x", Address32(&slot), owner);
    if (owner != 0) {
      const bool alive = platform::ProcessIsAlive(owner);
      OutputLog(LogLevel::kStep, port, nullptr, 0, "RFRW_Open プロセスチェック Process=%x", alive ? owner : 0u);
      if (alive) {
        OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(2)  (%d)", 844);
        return RFRW_ERROR_OPEN_ELSEWHERE;
      }
      // The owner died without closing: take its entry over. It never
      // detached either, so it still counts as attached.
      PortDataArea& data = *entry.dataArea;
      for (uintptr_t& marker : data.openMarkers) marker = 0;
      data.state = -1;
      slot.linkRunning = 0;
      slot.ownerProcessId = 0;
      std::atomic_ref<int32_t>(area.attachCount).fetch_sub(1);
    }
    slot.useCount = 0;
  }

  OutputLog(LogLevel::kStep, port, nullptr, 0, "RFRW_Open #1 Hd=%x DataAdr=%x", Address32(&slot), Address32(entry.dataArea));

  // A running flag left by another process names a thread that is not
  // ours: its handles mean nothing here, so the link is started anew.
  if (slot.linkRunning != 0 && !LinkRunsHere(UnitIndexOf(port))) slot.linkRunning = 0;
  if (slot.linkRunning == 0) {
    const uint32_t missing = platform::FileExistsError(Config().iniPath);
    if (missing != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(10) detail1 = %d  (%d)", static_cast<int>(missing), 856);
      return RFRW_ERROR_FILE_MISSING;
    }
    const int32_t started = k_L_Level_Init(port, &Llevel_Thread, entry);
    if (started != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(3) detail = %d  (%d)", started, 848);
      return started;
    }
    slot.linkRunning = 1;
    SetLinkRunsHere(UnitIndexOf(port), true);
  } else {
    // Our link thread still runs: drop responses nobody collected, then
    // return the thread to idle.
    auto* pipe1 = reinterpret_cast<platform::PipeEnd*>(entry.dPipe1Read);
    for (;;) {
      const long available = platform::BytesAvailable(pipe1);
      OutputLog(LogLevel::kStep, port, nullptr, 0, "RFRW_Open PipeRead=%d (%d)", static_cast<int>(available), available >= 0 ? 1 : 0);
      if (available <= 0) break;
      int32_t length = 0;
      if (k_CM_RecvMsg(port, pipe1, entry.responseBuffer, static_cast<int32_t>(kResponseBufferSize), &length) != 0) break;
    }
    platform::ResetEvent(reinterpret_cast<platform::Event*>(entry.dEvent2));
    if (entry.linkContext) Llevel_Initialize(entry, *static_cast<LinkContext*>(entry.linkContext));
  }

  const int32_t attached = k_D_RW_Open(port);
  if (attached < 0) {
    k_L_Level_End(port, entry);
    SetLinkRunsHere(UnitIndexOf(port), false);
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_Open(4) detail = %d  (%d)", attached, 852);
    return attached;
  }
  RwPowerOffOnRetryTotalCount() = 0;
  return BringUpReader(port, entry, flags);
}

int32_t Open(uint32_t port, int32_t dataLen, const uint8_t* data) {
  OutputLog(LogLevel::kCall, port, data, data && dataLen > 0 ? dataLen : 0, "★★★RFRW_Open Call  Port = 0x%x Data =", port);
  SharedArea& area = *Shared();
  SetReaderSettingsDefaultsOnce();
  g_ReaderTypeCode = 0x21;
  area.dspDownloadCutMode &= ~2;
  area.dspPassThroughMode &= ~2;

  const OpenFlags flags = ExamineOpenBlock(dataLen, data);
  if (flags.skipDownload) {
    OutputLog(LogLevel::kCall, port, nullptr, 0, "DspDownloadCutMode set");
    area.dspDownloadCutMode |= 2;
  }
  if (flags.bootMode) OutputLog(LogLevel::kCall, port, nullptr, 0, "DspBootMode set");
  if (flags.passThrough) {
    OutputLog(LogLevel::kCall, port, nullptr, 0, "DspPassThroghMode set");
    area.dspPassThroughMode |= 2;
  }

  int32_t result = CheckPortNumber(port, "D_Error RFRW_Open(1) detail = %d  (%d)", 840);
  if (result == RFRW_SUCCESS) {
    CurrentPort() = port;
    ApiMutexHold api(port);
    result = api.held() ? OpenUnderApiMutex(port, area, flags) : api.failure();
  }
  OutputLog(LogLevel::kCall, port, nullptr, 0, "★★★RFRW_Open Out  Ret = %d", result);
  return result;
}

// ---- RFRW_GetDllVersion ---------------------------------------------------

// The 8 version bytes into rcvData when the caller's buffer takes them:
// RFRW_SUCCESS and *rcvBufLen 8, else RFRW_ERROR_PARAMETER and *rcvBufLen 0
// (when given). Needs nothing of the shared area.
int32_t WriteVersion(int32_t* rcvBufLen, uint8_t* rcvData) {
  if (!rcvData || !rcvBufLen || *rcvBufLen < 8) {
    if (rcvBufLen) *rcvBufLen = 0;
    return RFRW_ERROR_PARAMETER;
  }
  FileVersionBytes(rcvData);
  *rcvBufLen = 8;
  return RFRW_SUCCESS;
}

int32_t GetDllVersion(int32_t* rcvBufLen, uint8_t* rcvData) {
  OutputLog(LogLevel::kCall, kNoPort, nullptr, 0, "★★★RFRW_GetDllVersion Call  RcvBufLen = %d", rcvBufLen ? *rcvBufLen : 0);
  const int32_t result = Internal_GetFileVersionCMD(rcvBufLen, rcvData);
  OutputLog(LogLevel::kCall, kNoPort, rcvData, result == 0 ? *rcvBufLen : 0, "★★★RFRW_GetDllVersion Out  Ret = %d", result);
  return result;
}

// ---- RFRW_CLRW_Transmit ---------------------------------------------------

constexpr OpenPortLines kTransmitLines{"D_Error RFRW_CLRW_Transmit(6)  (%d)", 3827,
                                       "D_Error RFRW_CLRW_Transmit(5) (%d)", 3818};

int32_t TransmitUnderApiMutex(uint32_t port, uint32_t sLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData) {
  int32_t result;
  PortEntry* entry = OwnOpenPort(port, kTransmitLines, &result);
  if (!entry) return result;
  return k_TransmitDispatch(*entry, sLen, sndData, rcvLen, rcvData);
}

int32_t CheckTransmitArguments(uint32_t port, uint32_t sLen, const uint8_t* sndData, const int32_t* rcvLen,
                               const uint8_t* rcvData) {
  if (!sndData || !rcvLen || !rcvData) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(2)  (%d)", 3810);
    return RFRW_ERROR_PARAMETER;
  }
  if (sLen > kMaxCommandLength) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_CLRW_Transmit(3) detail = %d  (%d)", static_cast<int>(sLen),
              3814);
    return RFRW_ERROR_PARAMETER;
  }
  return RFRW_SUCCESS;
}

// The exit line with the response as the buffer holds it, then *RcvLen 0
// after a failure; the caller still holds the API mutex (when it took it).
int32_t FinishTransmit(uint32_t port, int32_t result, int32_t* rcvLen, const uint8_t* rcvData) {
  const int32_t shown = (rcvLen && rcvData && *rcvLen > 0) ? *rcvLen : 0;
  OutputLog(LogLevel::kCall, port, rcvData, shown, "★★★CLRW Ret=%d,", result);
  if (result != 0 && rcvLen) *rcvLen = 0;
  return result;
}

int32_t Transmit(uint32_t port, uint32_t sLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData) {
  // The whole command as the caller gave it; the log record keeps what fits.
  const int32_t shown = sndData ? static_cast<int32_t>(sLen < kMaxLogData ? sLen : kMaxLogData) : 0;
  OutputLog(LogLevel::kCall, port, sndData, shown, "★★★CLRW P=%x SLen=%x RBLen=%x,D=", port, sLen,
            rcvLen ? static_cast<uint32_t>(*rcvLen) : 0u);
  int32_t result = CheckPortNumber(port, "D_Error RFRW_CLRW_Transmit(1) detail = %d  (%d)", 3806);
  if (result == RFRW_SUCCESS) result = CheckTransmitArguments(port, sLen, sndData, rcvLen, rcvData);
  if (result != RFRW_SUCCESS) return FinishTransmit(port, result, rcvLen, rcvData);
  ApiMutexHold api(port);
  result = api.held() ? TransmitUnderApiMutex(port, sLen, sndData, rcvLen, rcvData) : api.failure();
  return FinishTransmit(port, result, rcvLen, rcvData);
}

// ---- RFRW_PowerCtrl -------------------------------------------------------

constexpr OpenPortLines kPowerCtrlLines{"D_Error RFRW_PowerCtrl(5)  (%d)", 1046, "D_Error RFRW_PowerCtrl(4) (%d)",
                                        1042};

int32_t PowerCtrlUnderApiMutex(uint32_t port, int32_t power, int32_t* sts) {
  int32_t result;
  PortEntry* entry = OwnOpenPort(port, kPowerCtrlLines, &result);
  if (!entry) return result;
  return k_PowerCtrlDispatch(*entry, power, sts);
}

int32_t CheckPowerCtrlArguments(uint32_t port, int32_t power, const int32_t* sts) {
  if (!sts) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_PowerCtrl(2)  (%d)", 1034);
    return RFRW_ERROR_PARAMETER;
  }
  if (power != 0 && power != 3) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error RFRW_PowerCtrl(3) detail = 0x%x  (%d)", static_cast<uint32_t>(power),
              1038);
    return RFRW_ERROR_PARAMETER;
  }
  return RFRW_SUCCESS;
}

// The out lines; the caller still holds the API mutex (when it took it).
int32_t FinishPowerCtrl(uint32_t port, int32_t result, const int32_t* sts) {
  OutputLog(LogLevel::kCall, port, nullptr, 0, "★★★RFRW_PowerCtrl Out  Ret = %d", result);
  if (sts) OutputLog(LogLevel::kCall, port, nullptr, 0, "RFRW_PowerCtrl Out  Sts = 0x%x", static_cast<uint32_t>(*sts));
  return result;
}

int32_t PowerCtrl(uint32_t port, int32_t power, int32_t* sts) {
  OutputLog(LogLevel::kCall, port, nullptr, 0, "★★★RFRW_PowerCtrl Call  Port = 0x%x Power = 0x%x Sts = 0x%x", port,
            static_cast<uint32_t>(power), Address32(sts));
  int32_t result = CheckPortNumber(port, "D_Error RFRW_PowerCtrl(1) detail = %d  (%d)", 1030);
  if (result == RFRW_SUCCESS) result = CheckPowerCtrlArguments(port, power, sts);
  if (result != RFRW_SUCCESS) return FinishPowerCtrl(port, result, sts);
  ApiMutexHold api(port);
  result = api.held() ? PowerCtrlUnderApiMutex(port, power, sts) : api.failure();
  return FinishPowerCtrl(port, result, sts);
}

// Runs an exported body inside the call scope; an exception (only memory
// exhaustion can raise one here) becomes an internal failure. Once the
// library is no longer attached in this process (after detach, or in a
// forked child), `unattached` answers instead, touching nothing shared.
template <typename Body, typename Unattached>
int32_t Guarded(Body body, Unattached unattached) {
  ApiCallScope scope;
  if (!scope.usable()) return unattached();
  try {
    return body();
  } catch (...) {
    return RFRW_ERROR_INTERNAL;
  }
}

template <typename Body>
int32_t Guarded(Body body) {
  return Guarded(body, [] { return kDetachedResult; });
}

}  // namespace
}  // namespace zq::drv

using zq::drv::Guarded;

extern "C" {

int32_t RFRW_Open(uint32_t Port, int32_t DataLen, const uint8_t* Data) {
  // Every request of the call reaches the bridge of Port's COM number.
  const zq::drv::DeviceScope device(Port);
  return Guarded([&] { return zq::drv::Open(Port, DataLen, Data); });
}

int32_t RFRW_Close(uint32_t Port) {
  const zq::drv::DeviceScope device(Port);
  return Guarded(
      [&] {
        zq::drv::OutputLog(zq::drv::LogLevel::kCall, Port, nullptr, 0, "★★★RFRW_Close Call Port = 0x%x", Port);
        const int32_t result = zq::drv::k_RFRW_Close(Port);
        zq::drv::OutputLog(zq::drv::LogLevel::kCall, Port, nullptr, 0, "★★★RFRW_Close Out Ret = %d", result);
        return result;
      },
      // Nothing of this process is open any more: a close has nothing to do.
      [&] { return zq::drv::PortNumberValid(Port) ? RFRW_SUCCESS : RFRW_ERROR_PARAMETER; });
}

int32_t RFRW_CLRW_Transmit(uint32_t Port, uint32_t SLen, const uint8_t* SndData, int32_t* RcvLen, uint8_t* RcvData) {
  const zq::drv::DeviceScope device(Port);
  return Guarded([&] { return zq::drv::Transmit(Port, SLen, SndData, RcvLen, RcvData); });
}

int32_t RFRW_PowerCtrl(uint32_t Port, int32_t Power, int32_t* Sts) {
  const zq::drv::DeviceScope device(Port);
  return Guarded([&] { return zq::drv::PowerCtrl(Port, Power, Sts); });
}

int32_t RFRW_GetDllVersion(int32_t* RcvBufLen, uint8_t* RcvData) {
  return Guarded([&] { return zq::drv::GetDllVersion(RcvBufLen, RcvData); },
                 [&] { return zq::drv::WriteVersion(RcvBufLen, RcvData); });
}

}  // extern "C"
