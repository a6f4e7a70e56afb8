// The power-off/on recovery of a reader that stopped answering properly:
// bridge restart, reader power cycle, device reopen, operating mode and
// settings replay, as the exported calls run it.
//
// Both run on the thread of an exported call that holds the unit's API
// mutex, address the port of CurrentPort(), and count their attempts in
// RwPowerOffOnRetryTotalCount() where the caller's loop does not.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

// The full recovery for the command being retried (`sLen` bytes at
// `command`; a power-level command 00 18 P1 00 is not preceded by a
// replay of the remembered level). 0 when it ran through, *statusWord
// then the reader's last answer (0x9000 once the operating mode, the
// power level and the send/receive settings were accepted, else the word
// that stopped the replay); else the failing step's error, the reader's
// power or device still down.
int32_t RfPowerOffOnRetry(PortEntry& entry, uint16_t* statusWord, uint32_t sLen, const uint8_t* command);
// The device-level recovery of an open, attempted while the recoveries
// counted stay within "RwPowerOffOnRetryCount": 0 when the device was
// reopened, else the last attempt's error (RFRW_ERROR_EXCHANGE when no
// attempt was left).
int32_t RfPowerOffOnRetry_Sub(PortEntry& entry);

// Whether the command being retried is the power-level command
// 00 18 P1 00 (four bytes). Pure.
bool IsPowerLevelCommand(uint32_t sLen, const uint8_t* command);

}  // namespace zq::drv
