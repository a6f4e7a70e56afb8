// RFRW_CLRW_Transmit and RFRW_PowerCtrl once their checks passed and
// CurrentPort() names a port this process has open: pass-through mode, or
// the routed handler (the power command) with the bounded power-off/on
// recovery and resend.
#pragma once

#include <cstdint>
#include <functional>

namespace zq::drv {

struct PortEntry;

// The handler's (or the recovery's) result; routing errors are logged and
// give RFRW_ERROR_PARAMETER. *rcvLen is the response length when the
// result is 0 (and unchanged by a command that has no handler).
int32_t k_TransmitDispatch(PortEntry& entry, uint32_t sLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData);

// RFRW_PowerCtrl's command (power 0 or 3, checked by the caller): its
// result or the recovery's; *sts the status word of the reader's answer
// when the command went through (64 03 for an answer without one).
int32_t k_PowerCtrlDispatch(PortEntry& entry, int32_t power, int32_t* sts);

// The log lines of one recovery loop: the count line (one %d) and whether
// "RfPowerOffOnRetry End,StatusWord=0x%x" follows a failed recovery too.
struct RecoveryLoopLines {
  const char* count;
  bool endLineAfterFailure;
};

// The loop around one command: `send` runs it with the retry flag cleared;
// while it leaves the flag set and the recoveries counted in
// RwPowerOffOnRetryTotalCount() stay within `limit`, `recover` runs
// (nullptr: there is no recovery, the command's result stands) and, when it
// brought the reader back with status word 0x9000, the command is sent
// again; a recovery that failed is tried again after `pause`. The command's
// result, or the last recovery's when the limit ended the loop.
using RecoveryCall = std::function<int32_t(uint16_t* statusWord)>;
int32_t RunWithRecovery(int32_t limit, const std::function<int32_t()>& send, const RecoveryCall* recover,
                        const std::function<void()>& pause, const RecoveryLoopLines& lines);

}  // namespace zq::drv
