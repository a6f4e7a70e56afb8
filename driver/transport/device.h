// Attaching and releasing a unit's reader device.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortDataArea;

// Binds the comm library, opens the bridge (restarting it while it does
// not open) and runs the configuration chain (GPIO initial state, UART
// enable and configuration, GPIO switch-back, reader power on), restarting
// and trying again on a failure. RFRW_SUCCESS open; RFRW_ERROR_FILE_MISSING
// the comm library could not be bound; RFRW_ERROR_DEVICE the bridge could
// not be opened or configured.
int32_t k_RS_Open(PortDataArea& area);

// Powers the reader off, switches lines 7 and 8 off, closes the bridge and
// unloads the comm library; clears the open markers.
void RW_Close(PortDataArea& area);

}  // namespace zq::drv
