#include "driver/api/port_call.h"

#include "ZELQUAR_Drv.h"
#include "driver/api/port_entries.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "platform/process.h"

namespace zq::drv {

int32_t CheckPortNumber(uint32_t port, const char* failureFormat, int line) {
  const int32_t check = k_PortCheck(port);
  if (check == 0) return RFRW_SUCCESS;
  OutputLog(LogLevel::kError, port, nullptr, 0, failureFormat, check, line);
  return RFRW_ERROR_PARAMETER;
}

PortEntry* OwnOpenPort(uint32_t port, const OpenPortLines& lines, int32_t* result) {
  PortEntry* entry = LookupPortEntry(port);
  if (!entry) {
    OutputLog(LogLevel::kError, port, nullptr, 0, lines.notOpen, lines.notOpenLine);
    *result = RFRW_ERROR_NOT_OPEN;
    return nullptr;
  }
  if (entry->ownerProcessId != platform::CurrentProcessId()) {
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
