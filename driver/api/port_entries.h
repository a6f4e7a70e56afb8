// Port numbers, the process's COM port table, and the taking and releasing
// of port entries.
#pragma once

#include <cstdint>

namespace zq::drv {

struct SharedArea;
struct PortEntry;

// COM number (bits 8..15) and unit index (bits 0..7) of a port number.
inline uint32_t ComNumberOf(uint32_t port) { return (port >> 8) & 0xFFu; }
inline uint32_t UnitIndexOf(uint32_t port) { return port & 0xFFu; }

// Whether 1 <= COM number <= 32 and unit index < 32. Pure.
bool PortNumberValid(uint32_t port);

// 0 when the port number is valid; else logs the detail
// values and returns kPortCheckFailed (the callers log it as their detail).
inline constexpr int32_t kPortCheckFailed = -1;
int32_t k_PortCheck(uint32_t port);

// Frees the 32 port entries and points each at its data area (first attach).
void InitialisePortEntries(SharedArea& area);

// The port entry of the unit of `port` when its use count is not 0.
PortEntry* LookupPortEntry(uint32_t port);

// Whether the link thread of unit `unit` was started by this process (the
// shared running flag alone cannot tell whose thread it is).
bool LinkRunsHere(uint32_t unit);
void SetLinkRunsHere(uint32_t unit, bool runs);

// Attaches the unit's device and takes its port entry for this process:
// RFRW_SUCCESS; RFRW_ERROR_INTERNAL while the library detaches;
// RFRW_ERROR_FILE_MISSING or RFRW_ERROR_DEVICE when the device does not
// attach. k_D_RW_Open is the same with its own error line.
int32_t k_RS_Open_Test(uint32_t port);
int32_t k_D_RW_Open(uint32_t port);
// Releases the port when this process has it open: RFRW_SUCCESS (also when
// it was not open or is another process's), RFRW_ERROR_PARAMETER for a bad
// port number.
int32_t k_RFRW_Close(uint32_t port);
void k_List_free();

}  // namespace zq::drv
