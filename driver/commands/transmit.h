// RFRW_CLRW_Transmit once its checks passed and CurrentPort() names a port
// this process has open: pass-through mode, or the routed handler with the
// bounded power-off/on recovery and resend.
#pragma once

#include <cstdint>
#include <functional>

namespace zq::drv {

struct PortEntry;

// The handler's (or the recovery's) result; routing errors are logged and
// give RFRW_ERROR_PARAMETER. *rcvLen is the response length when the
// result is 0 (and unchanged by a command that has no handler).
int32_t k_TransmitDispatch(PortEntry& entry, uint32_t sLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData);

// The loop around one command: `send` runs it with the retry flag cleared;
// while it leaves the flag set and the recoveries counted in
// RwPowerOffOnRetryTotalCount() stay within `limit`, `recover` runs
// (nullptr: there is no recovery, the command's result stands) and, when it
// brought the reader back with status word 0x9000, the command is sent
// again; a recovery that failed is tried again after `pause`. The command's
// result, or the last recovery's when the limit ended the loop.
using RecoveryCall = std::function<int32_t(uint16_t* statusWord)>;
int32_t RunWithRecovery(int32_t limit, const std::function<int32_t()>& send, const RecoveryCall* recover,
                        const std::function<void()>& pause);

}  // namespace zq::drv
