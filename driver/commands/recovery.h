// The power-off/on recovery of a reader that stopped answering properly
// (bridge restart, reader power cycle, device reopen, operating mode and
// settings replay), as the exported calls run it.
//
// The calls reach it only through kRecovery. A null member is a recovery
// this build does not have: a transmit whose command armed the retry flag
// then ends with the handler's result, and an open whose bring-up failed
// closes the port.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

struct RecoverySeam {
  // The full recovery with settings replay, for the command being retried
  // (`sLen` bytes at `command`, so its own setting is not replayed first):
  // 0 when the reader came back, *statusWord then the operating-mode
  // answer (0x9000 when the settings went back too); else the failing
  // step's error.
  int32_t (*RfPowerOffOnRetry)(PortEntry& entry, uint16_t* statusWord, uint32_t sLen, const uint8_t* command);
  // The device-level recovery of an open: 0 when the device was reopened,
  // else the last error (RFRW_ERROR_EXCHANGE when no attempt was left).
  int32_t (*RfPowerOffOnRetry_Sub)(PortEntry& entry);
};

extern const RecoverySeam kRecovery;

}  // namespace zq::drv
