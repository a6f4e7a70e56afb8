// The boundary between the driver library and the comm library
// libZqRfrwCommVO.so: the entry points, the request record, the open
// parameter block, the port kinds, the request and result codes, and the
// Win32 shapes and numbers that cross it (OVERLAPPED, DCB, COMMTIMEOUTS,
// COMMPROP, COMSTAT, EV_, PURGE_, escape codes: platform/os/win32_comm.h; the
// error numbers: platform/os/win32_errors.h).
//
// Both libraries include this one header. The layouts are the Windows ones
// on a 64-bit platform with natural alignment; every integer is 32 bits and
// every pointer or handle is pointer-sized.
//
// Ownership: a PortRequest and every buffer it points to belong to the caller
// and are used only during the Func call, with one exception: WaitPortEvent
// keeps the caller's event-mask word and OVERLAPPED until the wait completes,
// the port closes or the port object ends.
//
// Events: the hEvent of an OVERLAPPED is an unnamed event of the platform
// layer (zq::platform::SyncEvent, platform/os/channel.h) created by the caller, or
// null. The library resets and sets it; it never frees it.
//
// Sections: results and Init words; port kinds and request codes;
// PortOpenParams; PortRequest; entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os/win32_comm.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// The Win32 shapes and numbers of the comm calls (DCB, OVERLAPPED, EV_, PURGE_,
// ...) are the platform layer's; the boundary speaks them unqualified.
using namespace platform::win32;

// ---- results and Init words ----------------------------------------------------

// Results common to the whole library. All other values are Win32 errors,
// named in platform/win32_errors.h (the one set of their names); the two
// Win32 numbers below are named here too because every request may give them.
inline constexpr int32_t kResultSuccess = 0;
inline constexpr int32_t kResultUnknownRequest = 1;
inline constexpr int32_t kResultRestartRefused = 5;
inline constexpr int32_t kResultInvalidParameter = static_cast<int32_t>(platform::kErrorInvalidParameter);
inline constexpr int32_t kResultRestartNeedsReboot = 100;
inline constexpr int32_t kResultNothingToRestart = 101;
inline constexpr int32_t kResultRestartLockBusy = 102;
inline constexpr int32_t kResultRestartSetupFailed = 103;
inline constexpr int32_t kResultBusy = static_cast<int32_t>(platform::kErrorBusy);
inline constexpr int32_t kResultWriteFailed = -1;
inline constexpr int32_t kResultHidLibraryMissing = -1;

// Error words of Init.
inline constexpr uint32_t kInitOk = 0;
inline constexpr uint32_t kInitNoMemory = 10;
inline constexpr uint32_t kInitNoSyncObjects = 11;

// ---- port kinds and request codes -------------------------------------------

enum PortKind : int32_t {
  PortKindHid = 0,           // HID interface; input byte 0 = count; output byte 0 = total length
  PortKindHidCounted = 1,    // HID interface; count byte after the report ID
  PortKindUsbPrint = 2,      // USB printer-class interface as a byte stream
  PortKindSerial = 3,        // 3, 4 and 5 alike
  PortKindSerial4 = 4,
  PortKindSerial5 = 5,
  PortKindTcp = 6,
  PortKindTcpAnnounce = 7,   // as 6, then sends the logical device name
};

enum PortRequestCode : int32_t {
  OpenPort = 0,
  ClosePort = 1,
  ReadPort = 2,
  WritePort = 3,
  IoControlPort = 4,
  GetPortOverlappedResult = 5,
  WaitPortEvent = 6,
  PurgePort = 7,
  ClearPortError = 8,
  GetPortModemStatus = 9,
  SetPortMask = 10,
  SetPortState = 11,
  SetPortTimeouts = 12,
  EscapePortFunction = 13,
  GetPortProperties = 14,
  GetPortState = 15,
  DeviceRestart = 16,
  WaitPortInput = 17,
  RfrwSetFeature = 90,
  RfrwGetFeature = 91,
};

// ---- PortOpenParams ---------------------------------------------------------

// Largest text the port object keeps of each field, terminator excluded.
// Longer texts are cut at this many characters.
inline constexpr size_t kDeviceNameMax = 291;
inline constexpr size_t kLogicalDeviceNameMax = 53;
inline constexpr size_t kEventSourceNameMax = 39;
inline constexpr size_t kEventText1Max = 37;
inline constexpr size_t kEventText2Max = 55;
inline constexpr size_t kRestartPatternMax = 291;
inline constexpr size_t kLineSettingsMax = 43;
inline constexpr size_t kSerialNumberMax = 126;  // alternateDeviceName: a USB serial number

// Texts are zero-terminated single-byte strings; a null text counts as empty.
struct PortOpenParams {
  const char* libraryDirectory;   // not used by the library
  const char* libraryFileName;    // not used by the library
  const char* deviceName;         // kinds 0-2: fragment of an interface path
  const char* logicalDeviceName;  // names the trace and the two named events
  const char* eventSourceName;    // event-log source
  const char* eventText1;         // first insertion string of event-log entries
  const char* eventText2;         // second insertion string
  int32_t eventLogLevel;          // 0 none, 1 restarts, 2+ also open failures
  void* handles[2];               // not used by the library
  const char* restartPattern;     // device-instance ID fragment or hardware-ID pattern
  uint32_t reserved1;
  uint32_t retryTime;             // ms; / 100 = write attempts and the reader's error limit
  uint32_t eventMask;             // initial EV_ mask
  COMMTIMEOUTS timeouts;          // serial kinds only
  uint32_t inputQueueSize;        // serial kinds only
  uint32_t outputQueueSize;       // serial kinds only
  const char* lineSettings;       // e.g. "115200,N,8,1"
  uint8_t reservedBlock[216];
  int32_t portKind;               // PortKind
  uint32_t reserved2;
  const char* alternateDeviceName;  // kinds 0-2: the USB serial number the device must have; null or "" any
  int32_t values[11];             // [0] trace dump limit (kinds 3, 6, 7); others unused
};

// ---- PortRequest ------------------------------------------------------------

struct ReadParams {
  void* buffer;
  uint32_t length;
  uint32_t* bytesRead;
  OVERLAPPED* overlapped;  // may be null
};
struct WriteParams {
  const void* data;
  uint32_t length;
  uint32_t* bytesWritten;
  OVERLAPPED* overlapped;  // may be null
};
struct IoControlParams {
  uint32_t controlCode;
  void* inBuffer;
  uint32_t inSize;
  void* outBuffer;
  uint32_t outSize;
  uint32_t* bytesReturned;
  OVERLAPPED* overlapped;  // may be null
};
struct OverlappedResultParams {
  OVERLAPPED* overlapped;
  uint32_t* bytesTransferred;
  uint32_t wait;
};
struct WaitEventParams {
  uint32_t* eventMask;
  OVERLAPPED* overlapped;
};
// WaitPortEvent for a count of bytes: EV_RXCHAR comes once the receive
// buffer holds `minimum` bytes (0 and 1: any), or holds some of which the
// newest has waited `quietMs` without another. A caller reading a frame
// whose length it knows is woken once for it, not once for every report.
// `held` and `quiet` (either may be null) get the count held when the
// request ran and the milliseconds since the newest of them came.
struct WaitInputParams {
  uint32_t* eventMask;
  OVERLAPPED* overlapped;
  uint32_t minimum;
  uint32_t quietMs;
  uint32_t* held;
  uint32_t* quiet;
};
struct PurgeParams {
  uint32_t flags;
};
struct ClearErrorParams {
  uint32_t* errors;
  COMSTAT* stat;
};
struct ModemStatusParams {
  uint32_t* status;
};
struct MaskParams {
  uint32_t mask;
};
struct StateParams {
  DCB* dcb;
};
struct TimeoutsParams {
  COMMTIMEOUTS* timeouts;
};
struct EscapeParams {
  uint32_t function;
};
struct PropertiesParams {
  COMMPROP* properties;
};
struct RestartParams {
  const char* reason;  // its first four characters count
  uint32_t value;
};
struct FeatureParams {
  uint8_t* report;  // byte 0 = report ID
  uint32_t length;
};

struct PortRequest {
  int32_t code;  // PortRequestCode
  union {
    PortOpenParams open;                       // OpenPort
    ReadParams read;                           // ReadPort
    WriteParams write;                         // WritePort
    IoControlParams ioControl;                 // IoControlPort
    OverlappedResultParams overlappedResult;   // GetPortOverlappedResult
    WaitEventParams waitEvent;                 // WaitPortEvent
    WaitInputParams waitInput;                 // WaitPortInput
    PurgeParams purge;                         // PurgePort
    ClearErrorParams clearError;               // ClearPortError
    ModemStatusParams modemStatus;             // GetPortModemStatus
    MaskParams mask;                           // SetPortMask
    StateParams state;                         // SetPortState, GetPortState
    TimeoutsParams timeouts;                   // SetPortTimeouts
    EscapeParams escape;                       // EscapePortFunction
    PropertiesParams properties;               // GetPortProperties
    RestartParams restart;                     // DeviceRestart
    FeatureParams feature;                     // RfrwSetFeature, RfrwGetFeature
  };
};

static_assert(offsetof(PortRequest, open) == 8, "parameters follow the code at pointer alignment");

// ---- entry points -----------------------------------------------------------

// Func(port, request): one request under the port object's API lock; the
// request's result (0, a Win32 error or a library code above).
using PortFunc = int32_t (*)(void* port, PortRequest* request);
// Init(&func, &error): a new port object, or null; *error is 0, 10 or 11.
using PortInitFunc = void* (*)(PortFunc* func, uint32_t* error);
// Term(port): ends the object; null does nothing. Issue ClosePort first.
using PortTermFunc = void (*)(void* port);

inline constexpr const char* kCommLibraryFile = "libZqRfrwCommVO.so";
inline constexpr const char* kInitSymbol = "Init";
inline constexpr const char* kTermSymbol = "Term";

}  // namespace zq::comm
