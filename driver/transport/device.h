// Attaching and releasing a unit's reader device.
#pragma once

#include <cstdint>
#include <mutex>

namespace zq::drv {

struct PortDataArea;

// The process's one bridge: every unit of the process reaches its reader
// module through it, and the reader's replies do not name the unit they
// answer. Whoever talks to the reader through it (one exchange, a firmware
// block) or switches it (the attach with its power-on, the release, a
// power-off/on recovery) holds it meanwhile, so that no thread reads
// another's reply or has its exchange cut by a power cycle. Recursive: a
// recovery that holds it makes exchanges of its own. Blocks while another
// thread holds it. Never take a named mutex while holding it (the attach
// takes it inside the port-list mutex).
std::unique_lock<std::recursive_mutex> HoldBridge();

// Binds the comm library, opens the bridge (restarting it while it does
// not open) and runs the configuration chain (GPIO initial state, UART
// enable and configuration, GPIO switch-back, reader power on), restarting
// and trying again on a failure; all of it holding the bridge. RFRW_SUCCESS open; RFRW_ERROR_FILE_MISSING
// the comm library could not be bound; RFRW_ERROR_DEVICE the bridge could
// not be opened or configured.
int32_t k_RS_Open(PortDataArea& area);

// Powers the reader off, switches lines 7 and 8 off, closes the bridge and
// unloads the comm library; clears the open markers. Holds the bridge.
void RW_Close(PortDataArea& area);

}  // namespace zq::drv
