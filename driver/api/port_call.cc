#include "driver/api/port_call.h"

#include "ZELQUAR_Drv.h"
#include "driver/api/port_entries.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"

namespace zq::drv {

int32_t CheckPortNumber(uint32_t port, const char* failureFormat, int line) {
  const int32_t check = k_PortCheck(port);
  if (check == 0) return RFRW_SUCCESS;
  OutputLog(LogLevel::kError, port, nullptr, 0, failureFormat, check, line);
  return RFRW_ERROR_PARAMETER;
}

ApiMutexHold::ApiMutexHold(uint32_t port) : port_(port), handle_(k_RFRW_SetMutexAPI(port)) {
  if (!handle_) {
    failure_ = platform::LastError() == platform::kErrorTimeout ? RFRW_ERROR_OPEN_ELSEWHERE : RFRW_ERROR_INTERNAL;
  }
}

PortEntry* OwnOpenPort(uint32_t port, const OpenPortLines& lines, int32_t* result) {
  PortEntry* entry = LookupPortEntry(port);
  if (!entry) {
    OutputLog(LogLevel::kError, port, nullptr, 0, lines.notOpen, lines.notOpenLine);
    *result = RFRW_ERROR_NOT_OPEN;
    return nullptr;
  }
  if (entry->slot->ownerProcessId != platform::CurrentProcessId()) {
    OutputLog(LogLevel::kError, port, nullptr, 0, lines.notOwner, lines.notOwnerLine);
    *result = RFRW_ERROR_PARAMETER;
    return nullptr;
  }
  CurrentPort() = port;
  RwPowerOffOnRetryTotalCount() = 0;
  RwPowerOffOnRetryFlag() = 0;
  *result = RFRW_SUCCESS;
  return entry;
}

}  // namespace zq::drv
