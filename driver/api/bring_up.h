// The last step of RFRW_Open: the reader's firmware brought up to date and
// the reader put into its operating mode, with the device-level recovery
// between failed attempts.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

// Under the API mutex, with the device attached and the port entry taken.
// RFRW_SUCCESS (also in pass-through and boot mode, which leave the reader
// as the download left it); else the failing step's result, after the port
// was closed again.
int32_t BringUpReader(uint32_t port, PortEntry& entry, bool bootMode);

}  // namespace zq::drv
