// Attaching and releasing a unit's reader device.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortDataArea;

// Attaches the reader device of the unit whose working area is `area`.
// Returns 0, -5 when a required file is missing, or another negative code.
int32_t k_RS_Open(PortDataArea& area);

// Releases the device: clears the open markers and sets the state word to -1.
void RW_Close(PortDataArea& area);

}  // namespace zq::drv
