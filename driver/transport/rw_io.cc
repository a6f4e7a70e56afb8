// Raw bytes between the link level and the reader through the comm
// library's data path.
#include "driver/transport/rw_io.h"

#include <atomic>
#include <cstring>

#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "driver/transport/hid_binding.h"
#include "comm/zq_comm_boundary.h"
#include "platform/os/clock.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::drv {
namespace {

constexpr uint32_t kPieceSize = 63;     // the UART bytes one bridge report carries
constexpr uint32_t kWriteWindowMs = 100;

// Set while the last frame written is one of the commands the reader takes
// long to answer. The reads of a reply wait for its bytes rather than poll
// for them, gently or not, so the flag only shows in their log lines.
std::atomic<int32_t> g_SlowDspCmdFlag{0};

// The longest single wait for input before the receive buffer is looked at
// again: the link threads of several ports share one wait, and one of them
// may take the others' wake-up.
constexpr uint32_t kInputWaitSliceMs = 20;

bool IsSlowCommand(const uint8_t* frame, uint32_t length) {
  static const uint8_t kFirmwareMode[11] = {0x00, 0x01, 0x00, 0x07, 0x00, 0x1D, 0x00, 0x01, 0x00, 0x00, 0x1C};
  if (length < 5) return false;
  const uint8_t* payload = frame + 3;
  const uint32_t n = length - 3;
  if (n >= 11 && std::memcmp(payload, kFirmwareMode, 11) == 0) return true;
  return (payload[0] == 0x08 && payload[1] == 0x01) || (payload[0] == 0x00 && payload[1] == 0x22);
}

// A sleep that a stopping link thread does not sit out.
void Pause(uint32_t ms) { platform::SleepUnlessStopped(ms); }

uint32_t Slice(uint32_t ms) { return ms < kInputWaitSliceMs ? ms : kInputWaitSliceMs; }

// Waits until the comm library's reader has bytes for us, at most `ms`. A
// comm library that cannot wait is polled every millisecond instead.
void WaitForInput(uint32_t ms) {
  if (HidRwWaitForInput(Slice(ms)) != 0) Pause(1);
}

// Whether the comm library waits for a count of bytes (cleared for good by
// the first that does not know the request).
std::atomic<bool> g_byteWaits{true};

}  // namespace

int32_t k_PurgeComm(PortDataArea& area) {
  const DeviceScope device(area.port);
  return PurgeBridge();
}

int32_t RW_Read(PortDataArea& area, uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs) {
  const DeviceScope device(area.port);
  const int32_t slow = g_SlowDspCmdFlag.load();
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "RW_Read() start,g_SlowDspCmdFlag=%d", slow);
  const uint32_t wait = waitMs == 0 ? 50 : waitMs;
  const uint32_t quiet = quietMs == 0 ? wait : quietMs;
  const uint32_t want = wanted < 1 ? 1 : (wanted > maximum ? maximum : wanted);
  int32_t result;
  if (area.openMarkers[1] == 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 100 READ NOT OPEN ERROR");
    result = kRwNotOpen;
  } else {
    const uint32_t started = platform::TickCount();
    // Several bytes wanted: the comm library wakes us once they are all
    // there, or once the newest has waited `quiet` for another, not once for
    // every report that brings one. Until then nothing is taken, so the
    // comm library's clock tells how long the bytes have stopped. A comm
    // library without that wait has them taken as they come, timed here.
    bool counted = want > 1 && g_byteWaits.load();
    uint32_t got = 0;
    uint32_t newest = started;  // when the newest byte taken came (ticks are unsigned: a wrap is harmless)
    for (;;) {
      if (counted) {
        const uint32_t spent = platform::TickCount() - started;
        bool ready = false;
        uint32_t held = 0;
        const int32_t waited =
            HidRwWaitForBytes(spent >= wait ? 0 : Slice(wait - spent), kInputWaitSliceMs, want, quiet, &ready, &held);
        if (waited == comm::kResultUnknownRequest) {
          g_byteWaits.store(false);  // a comm library without the wait: a wake-up a report
          counted = false;
          continue;
        }
        if (waited != 0) Pause(1);
        // Not ready: the wait ended on its slice. Bytes held go on until
        // they are ready (the next request looks at their quiet time
        // again), none until the first byte's time is up.
        if (!ready && !platform::StopRequested() && (held > 0 || spent < wait)) continue;
      }
      uint32_t count = 0;
      const int32_t call = HidRwRead(buffer + got, maximum - got, &count);
      OutputLog(LogLevel::kStep, area.port, nullptr, 0, "HidRwRead RDLen=%d,dwRet=%d,BytesRead=%d", static_cast<int>(maximum - got),
                call, static_cast<int>(count));
      if (call != 0 || count > maximum - got) {
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 112 READ ERROR3 Ret=%d", static_cast<int>(platform::LastError()));
        result = kRwFailed;
        break;
      }
      const uint32_t now = platform::TickCount();
      if (count > 0) {
        got += count;
        newest = now;
      }
      if (got > 0 && (counted || got >= want || now - newest >= quiet || platform::StopRequested())) {
        result = static_cast<int32_t>(got);
        break;
      }
      if (got == 0 && (now - started >= wait || platform::StopRequested())) {
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 102 WaitForSingleObject:Comp=%x,GetLastError=%d,TimeOut=%d", 0u,
                  static_cast<int>(platform::LastError()), static_cast<int>(wait));
        result = kRwTimeout;
        break;
      }
      if (!counted) WaitForInput(got > 0 ? quiet - (now - newest) : wait - (now - started));
    }
  }
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "RW_Read() end:RetValue=%d", result);
  return result;
}

int32_t RW_Write(PortDataArea& area, const uint8_t* frame, uint32_t length) {
  const DeviceScope device(area.port);
  OutputLog(LogLevel::kStep, area.port, frame, static_cast<int32_t>(length), "RW_Write() CALL, WRLen=%d WriteData=",
            static_cast<int>(length));
  int32_t result = kRwFailed;
  if (area.openMarkers[2] == 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 110 WRITE NOT OPEN ERROR");
    result = kRwNotOpen;
  } else {
    g_SlowDspCmdFlag.store(IsSlowCommand(frame, length) ? 1 : 0);
    const uint32_t started = platform::TickCount();
    uint32_t total = 0;
    for (;;) {
      const uint32_t piece = length - total < kPieceSize ? length - total : kPieceSize;
      uint32_t written = 0;
      const int32_t call = HidRwWrite(frame + total, piece, &written);
      OutputLog(LogLevel::kStep, area.port, frame + total, static_cast<int32_t>(piece), "HidRwWrite dwRet=%d,BytesWritten=%d WriteData=",
                call, static_cast<int>(written));
      if (call != 0) {
        // The comm library's own result tells what went wrong.
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 111 WRITE ERROR1 Ret=%d", call);
        break;
      }
      if (written > piece) {
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 101 Length Error BytesWritten=%d,WRLen=%d",
                  static_cast<int>(written), static_cast<int>(length));
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 112 WRITE ERROR3 Ret=%d", static_cast<int>(platform::LastError()));
        break;
      }
      total += written;
      if (total == length) return 0;
      if (total > length) {
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 101 Length Error TotalBytesWritten=%d,WRLen=%d",
                  static_cast<int>(total), static_cast<int>(length));
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 112 WRITE ERROR3 Ret=%d", static_cast<int>(platform::LastError()));
        break;
      }
      if (platform::TickCount() - started >= kWriteWindowMs) {
        OutputLog(LogLevel::kError, area.port, nullptr, 0, "D_ID_USBDRV 113 TIMEOUT Ret=%d", static_cast<int>(platform::LastError()));
        break;
      }
      Pause(4);
    }
  }
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "D_ID_USBDRV 101 WRITE ERROR Ret=%08x LastError=%d", static_cast<uint32_t>(result),
            static_cast<int>(platform::LastError()));
  return result;
}

const LinkTransport& ReaderLinkTransport() {
  static constexpr LinkTransport kReader{&RW_Write, &RW_Read, &k_PurgeComm};
  return kReader;
}

}  // namespace zq::drv
