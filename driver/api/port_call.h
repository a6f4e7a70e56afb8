// The opening every exported call on one port shares: the check of the port
// number, the unit's API mutex for the rest of the call, and, for a call on
// an open port, the port entry this process holds, with the command layer
// addressed to it.
#pragma once

#include <cstdint>

#include "driver/locks/locks.h"

namespace zq::drv {

struct PortEntry;

// RFRW_SUCCESS when `port` names a COM number 1..32 and a unit 0..31; else
// logs `failureFormat` with the check's detail and `line` and returns
// RFRW_ERROR_PARAMETER.
int32_t CheckPortNumber(uint32_t port, const char* failureFormat, int line);

// Holds the API mutex of the unit of `port` while it lives. When it could
// not be had (locks.h), held() is false and failure() is the call's result:
// RFRW_ERROR_OPEN_ELSEWHERE when another process held the unit past the
// bound, RFRW_ERROR_INTERNAL when the mutex could not be used at all.
class ApiMutexHold {
 public:
  explicit ApiMutexHold(uint32_t port);
  ~ApiMutexHold() { k_RFRW_ReleaseMutexAPI(port_, handle_); }
  ApiMutexHold(const ApiMutexHold&) = delete;
  ApiMutexHold& operator=(const ApiMutexHold&) = delete;

  bool held() const { return handle_ != nullptr; }
  int32_t failure() const { return failure_; }

 private:
  uint32_t port_;
  MutexHandle handle_;
  int32_t failure_ = 0;
};

// The error lines of one exported call on an open port: each a format that
// takes the line number after it.
struct OpenPortLines {
  const char* notOpen;
  int notOpenLine;
  const char* notOwner;
  int notOwnerLine;
};

// Under the API mutex: the port entry of `port` when this process has it
// open, with the command layer addressed to the port and its recovery
// counters cleared. Else logs the matching line, sets *result to
// RFRW_ERROR_NOT_OPEN (no entry) or RFRW_ERROR_PARAMETER (another process's
// entry) and returns nullptr.
PortEntry* OwnOpenPort(uint32_t port, const OpenPortLines& lines, int32_t* result);

}  // namespace zq::drv
