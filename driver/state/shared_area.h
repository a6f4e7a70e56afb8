// The records every process that loads the driver library shares: the
// configuration, the attach count, the port entries and the per-unit device
// working areas. One SharedArea exists per library file and object namespace
// (platform/shared_section.h); it is zero-filled when the first process of the
// system attaches.
//
// Handles and pointers held here are meaningful only in the process named by
// the port entry's owner process id.
//
// This module sits below every other layer of the driver: the log, the
// locks, the link, the transport, the command layer and the exported calls
// all reach the shared records through Shared() and include nothing of
// each other's to do so.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::drv {

inline constexpr int kUnitCount = 32;
inline constexpr size_t kPathTextSize = 260;
inline constexpr size_t kConfigTextSize = 128;
inline constexpr size_t kDeviceNameSize = 16;  // "\\.\COM32" and its zero fit

// The device layer's working area of one unit.
struct PortDataArea {
  // A device open sets the first three to all ones and the fourth to 0; a
  // device close clears all four. The second and third are the read-open and
  // write-open markers of the byte transport.
  uintptr_t openMarkers[4];
  char deviceName[kDeviceNameSize];
  int32_t state;        // -1 after a device close or a dead-owner recovery
  uint32_t port;        // written at every open; the device layer logs with it
  void* commPort;       // the comm library's port object used for this unit
};

// One unit bound to one process.
struct PortEntry {
  int32_t useCount;          // 0 free, 1 open
  uint32_t ownerProcessId;   // 0 none
  uint32_t linkRunning;      // 1 once the link thread answered; 0 after it ended
  uint32_t port;             // the full value given to RFRW_Open
  uintptr_t linkThread;
  // D side: read end of pipe 1, write end of pipe 2, event 1, event 2.
  uintptr_t dPipe1Read;
  uintptr_t dPipe2Write;
  uintptr_t dEvent1;
  uintptr_t dEvent2;
  // L side: read end of pipe 2, write end of pipe 1, event 2, event 1.
  uintptr_t lPipe2Read;
  uintptr_t lPipe1Write;
  uintptr_t lEvent2;
  uintptr_t lEvent1;
  PortDataArea* dataArea;
  uint8_t* requestBuffer;    // one LevelMessage, allocated while the link runs
  uint8_t* responseBuffer;
  uint8_t sequenceBit;
  void* linkContext;         // set by the link thread when it starts, cleared by the API side when it ends the link
};

struct SharedArea {
  int32_t dspPassThroughMode;      // bit 0 INI, bit 1 the last open's data block
  int32_t attachCount;             // processes that have the library loaded
  int32_t dspDownloadCutMode;      // bit 0 INI, bit 1 the last open's data block
  int32_t openRetryNum;
  int32_t retryTimeoutApi;         // "RetryTimeout " (D-level resend window)
  int32_t blockTimeout;
  int32_t adminCheckCut;
  int32_t dspRfSendMaxTime;
  int32_t dspAlwaysDownloadMode;
  int32_t logFileFlg;
  int32_t rwPowerOffOnRetryCount;
  int32_t gpioInitialData;
  int32_t openTimeoutRetryNum;
  int32_t transmitRetryNum;
  int32_t logDisp;
  int32_t logLevel;                // 3 in a fresh area
  uint32_t collectorProcessId;
  int32_t hidDeviceOpenRetryCount;
  int32_t retryTimeoutLink;        // "RetryTimeout" (link level)
  int32_t characterTimeout;
  char iniPath[kPathTextSize];
  char libraryDir[kPathTextSize];  // with its trailing separator
  char pidVid[kConfigTextSize];
  char dspFileName[kConfigTextSize];
  char hidCommDllTrace[kConfigTextSize];
  PortEntry portEntries[kUnitCount];
  PortDataArea portDataAreas[kUnitCount];
};

// The key under which the shared section of a library file is found; tests
// and diagnostics use it to inspect a running system.
inline constexpr const char* kSharedAreaKeyPrefix = "ZELQUAR_Drv:";

// The shared area of this process; nullptr before the library attached and
// after it detached. Lock-free; callable from any thread at any time, also
// from the attach and detach code.
SharedArea* Shared();

// Publishes the area once the attach code has mapped it, and withdraws it
// (nullptr) at detach. Only the attach and detach code calls it.
void PublishSharedArea(SharedArea* area);

}  // namespace zq::drv
