// Start and end of a port's link level, as the port entries see them.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

// Ends the link level of `entry` in order, under the unit's RW mutex (the
// last of the three in the lock order).
void k_L_Level_End(uint32_t port, PortEntry& entry);

}  // namespace zq::drv
