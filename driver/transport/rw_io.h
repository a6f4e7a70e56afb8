// The link thread's way to the reader: raw bytes out and in, and the purge
// of the bridge's buffers, through the comm library. The link level reaches
// them only through the table ReaderLinkTransport (driver/link/link_transport.h
// holds the contract of each call).
#pragma once

#include <cstdint>

#include "driver/link/link_transport.h"

namespace zq::drv {

struct PortDataArea;

// The reader's table: RW_Write, RW_Read and k_PurgeComm.
const LinkTransport& ReaderLinkTransport();

// Writes the whole frame: 0 or kRwNotOpen / kRwFailed.
int32_t RW_Write(PortDataArea& area, const uint8_t* frame, uint32_t length);
// Reads up to `maximum` bytes once `wanted` have come or the bytes stopped
// (LinkTransport::read): the count (never 0), kRwTimeout, kRwNotOpen or
// kRwFailed.
int32_t RW_Read(PortDataArea& area, uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs);
// Empties the bridge's transmit and receive buffers: 0 or an error.
int32_t k_PurgeComm(PortDataArea& area);

}  // namespace zq::drv
