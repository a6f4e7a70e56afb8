// The reader firmware check and download of RFRW_Open.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

// Brings the reader's firmware up to the firmware file beside the library:
// 0 when it is current or was downloaded, else the failure (the open then
// recovers or closes).
int32_t k_Download_Firm(PortEntry& entry);

}  // namespace zq::drv
