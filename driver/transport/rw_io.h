// The link thread's way to the reader: raw bytes out and in, and the purge
// of the bridge's buffers. The link level calls nothing else of the
// transport, so tests can put a scripted reader in its place.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortDataArea;

inline constexpr int32_t kRwNotOpen = -65533;
inline constexpr int32_t kRwTimeout = -65534;
inline constexpr int32_t kRwFailed = -65279;

// Writes the whole frame: 0 or kRwNotOpen / kRwFailed.
int32_t RW_Write(PortDataArea& area, const uint8_t* frame, uint32_t length);
// Reads up to `maximum` bytes, waiting up to waitMs (0 means 50): the count
// (never 0), kRwTimeout, kRwNotOpen or kRwFailed.
int32_t RW_Read(PortDataArea& area, uint8_t* buffer, uint32_t maximum, uint32_t waitMs);
// Empties the bridge's transmit and receive buffers: 0 or an error.
int32_t k_PurgeComm(PortDataArea& area);

}  // namespace zq::drv
