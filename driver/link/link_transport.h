// What the link thread needs of whatever carries its bytes to the reader:
// a narrow table of three calls, so that the reader behind a link can be
// the real one (driver/transport, installed by the library at attach) or a
// scripted one a test installs.
//
// The table is installed per process. A link thread takes the table
// installed when it starts and keeps it for its whole life, so a table must
// stay valid as long as any link thread may use it (static storage).
//
// Threads: each member is called only by the link thread of the port whose
// data area it is given; the link threads of several ports call at the same
// time, each with its own data area. No member may throw.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortDataArea;

// Status codes of the table's members (Win32-era values the log lines show).
inline constexpr int32_t kRwNotOpen = -65533;  // the port's device is not open in that direction
inline constexpr int32_t kRwTimeout = -65534;  // nothing came within the wait
inline constexpr int32_t kRwFailed = -65279;   // the device refused the transfer or it did not complete

struct LinkTransport {
  // Writes the whole frame to the reader. 0; kRwNotOpen; kRwFailed (nothing
  // or only part of it went out within the write window, about 100 ms).
  // Blocks until the frame is out or the window has passed.
  int32_t (*write)(PortDataArea& area, const uint8_t* frame, uint32_t length);

  // Reads what the reader sent, at most `maximum` (>= 1) bytes, waiting up
  // to waitMs for the first (0 means 50 ms), and returning once `wanted`
  // bytes (at most `maximum`; 0 counts as 1) have come, or once, after some,
  // none more came for quietMs (0 means waitMs): fewer than wanted means the
  // bytes stopped for that long (or the calling thread was asked to stop).
  // The count (1..maximum, never 0); kRwTimeout when nothing came in time or
  // the calling link thread was asked to stop (platform::StopRequested);
  // kRwNotOpen; kRwFailed. Blocks at most about quietMs after the last byte.
  int32_t (*read)(PortDataArea& area, uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted,
                  uint32_t quietMs);

  // Drops what the bridge still holds in both directions before a repeat.
  // 0 or an error (the link goes on either way). Blocks briefly.
  int32_t (*purge)(PortDataArea& area);
};

// Installs the table link threads started from now on use; nullptr stands
// for a transport that is never open (every write and read: kRwNotOpen).
// Thread-safe; never blocks.
void InstallLinkTransport(const LinkTransport* transport);

// The table installed now (never null). Thread-safe; never blocks.
const LinkTransport& InstalledLinkTransport();

}  // namespace zq::drv
