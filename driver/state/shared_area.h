// The records every process that loads the driver library shares: the
// configuration, the attach count, who owns each unit, and the per-unit
// device working areas. One SharedArea exists per library file and object
// namespace (platform/os/shared_section.h); it is zero-filled when the first
// process of the system attaches.
//
// Only values live here, never an address: each process maps the area at
// its own address, and another process's pointers would mean nothing (or
// worse) here. What only the owning process of a unit needs (its link
// thread, pipes, events and buffers) is in that process's PortEntry
// (local_state.h). The area is shared with every process of the reader's
// users (platform/os/access.h), so a value read from it is checked before it
// steers anything: numbers through Bounded(), texts through SharedText().
//
// This module sits below every other layer of the driver: the log, the
// locks, the link, the transport, the command layer and the exported calls
// all reach the shared records through Shared() and include nothing of
// each other's to do so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/state/shared_area_key.h"

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
};

// What every process knows of one unit: whether it is open and by whom.
struct PortSlot {
  int32_t useCount;          // 0 free, 1 open
  uint32_t ownerProcessId;   // 0 none
  uint32_t linkRunning;      // 1 once the owner's link thread answered; 0 after it ended
  uint32_t port;             // the full value given to RFRW_Open
};

struct SharedArea {
  int32_t dspPassThroughMode;      // bit 0 INI, bit 1 the last open's data block
  int32_t attachCount;             // processes that have the library loaded
  int32_t dspDownloadCutMode;      // bit 0 INI, bit 1 the last open's data block
  int32_t openRetryNum;
  int32_t retryTimeoutApi;         // "RetryTimeout " (D-level resend window)
  int32_t blockTimeout;
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
  char pidVid[kConfigTextSize];
  char hidCommDllTrace[kConfigTextSize];
  PortSlot portSlots[kUnitCount];
  PortDataArea portDataAreas[kUnitCount];
};

// The key of the section is in shared_area_key.h; tests and diagnostics use
// it to inspect a running system.
static_assert(sizeof(SharedArea) == kSharedAreaSize, "shared_area_key.h must give the area's size");

// The shared area of this process; nullptr before the library attached and
// after it detached (and for good when the attach was refused). Lock-free;
// callable from any thread at any time, also from the attach and detach code.
SharedArea* Shared();

// Publishes the area once the attach code has mapped it, and withdraws it
// (nullptr) at detach. Only the attach and detach code calls it.
void PublishSharedArea(SharedArea* area);

// ---- checked reads ------------------------------------------------------------

// The range a number of the area is kept in; its INI key is clamped to it
// when read, and every read of it through Bounded() clamps again, so a value
// another process left outside it (a damaged area) steers nothing wildly.
struct NumberRange {
  int32_t min;
  int32_t max;
};

// The range of `field` (the whole int32_t range for fields without one).
// Pure.
NumberRange RangeOf(int32_t SharedArea::*field);

// `value` within `range`. Pure.
inline int32_t Clamp(int32_t value, NumberRange range) {
  return value < range.min ? range.min : value > range.max ? range.max : value;
}

// The current value of `field` of the shared area within its range, or
// `fallback` when the library is not attached.
int32_t Bounded(int32_t SharedArea::*field, int32_t fallback);

// A text field of the area as a string: up to its first zero, never past
// the field. Pure.
template <size_t N>
std::string SharedText(const char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != '\0') ++n;
  return std::string(field, n);
}

}  // namespace zq::drv
