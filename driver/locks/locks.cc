#include "driver/locks/locks.h"

#include <cstdio>

#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "platform/os/named_mutex.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"

namespace zq::drv {
namespace {

// The names are formed in a 21-byte buffer, as the unit index never exceeds
// 0x1f once the port check has passed.
std::string UnitMutexName(const char* format, uint32_t port) {
  char name[21];
  std::snprintf(name, sizeof name, format, port & 0xFFu);
  return name;
}

uint32_t Pid() { return platform::CurrentProcessId(); }
uint32_t Tid() { return platform::CurrentThreadId(); }

}  // namespace

std::string ApiMutexName(uint32_t port) { return UnitMutexName("ZELQU_MUTEXOFAPI_R%02x", port); }
std::string RwMutexName(uint32_t port) { return UnitMutexName("ZELQU_MUTEXOFRW_R%02x", port); }

namespace {

// The log texts of one mutex family. Lines of the unit families carry the
// port after the handle; those of the list family do not.
struct Family {
  LogLevel level;  // of the before and after lines
  bool withPort;
  const char* before;
  const char* after;
  const char* failure;
  const char* release;
};

constexpr Family kApi{LogLevel::kTrace, true, "▽▽k_RFRW_SetMutexAPI Signal待ち (0x%x) Port=0x%04x PID=%x TID=%x",
                      "▼▼k_RFRW_SetMutexAPI (0x%x) Port=0x%04x Ret=0x%x PID=%x TID=%x",
                      "MutexError k_RFRW_SetMutexAPI Port=0x%04x detail=%d",
                      "▲▲k_RFRW_ReleaseMutexAPI (0x%x) Port=0x%04x PID=%x TID=%x"};
constexpr Family kList{LogLevel::kStep, false, "▽▽k_RFRW_SetMutexList Signal待ち (0x%x) PID=%x TID=%x",
                       "▼▼k_RFRW_SetMutexList (0x%x) Ret=0x%x PID=%x TID=%x",
                       "MutexError k_RFRW_SetMutexList detail=%d",
                       "▲▲k_RFRW_ReleaseMutexList (0x%x) PID=%x TID=%x"};
constexpr Family kRw{LogLevel::kStep, true, "▽▽k_RFRW_SetMutexRW Signal待ち (0x%x) Port=0x%04x PID=%x TID=%x",
                     "▼▼k_RFRW_SetMutexRW (0x%x) Port=0x%04x Ret=0x%x PID=%x TID=%x",
                     "MutexError k_RFRW_SetMutexRW Port=0x%04x detail=%d",
                     "▲▲k_RFRW_ReleaseMutexRW (0x%x) Port=0x%04x PID=%x TID=%x"};

void LogFailure(const Family& f, uint32_t port, uint32_t error) {
  const int detail = static_cast<int>(error);
  if (f.withPort) {
    OutputLog(LogLevel::kError, port, nullptr, 0, f.failure, port, detail);
  } else {
    OutputLog(LogLevel::kError, port, nullptr, 0, f.failure, detail);
  }
  platform::SetLastError(error);
}

MutexHandle Take(const Family& f, const std::string& name, uint32_t port) {
  MutexHandle h = platform::OpenNamedMutex(name.c_str());
  if (!h) {
    LogFailure(f, port, platform::LastError());
    return nullptr;
  }
  const uint32_t hv = platform::NamedMutexHandleValue(h);
  if (f.withPort) {
    OutputLog(f.level, port, nullptr, 0, f.before, hv, port, Pid(), Tid());
  } else {
    OutputLog(f.level, port, nullptr, 0, f.before, hv, Pid(), Tid());
  }
  // A holder that never lets go (stopped, stuck or hostile) holds up the
  // others only as long as this process's LockTimeout.
  const uint32_t ret = platform::WaitNamedMutex(h, Config().lockTimeoutMs);
  if (f.withPort) {
    OutputLog(f.level, port, nullptr, 0, f.after, hv, port, ret, Pid(), Tid());
  } else {
    OutputLog(f.level, port, nullptr, 0, f.after, hv, ret, Pid(), Tid());
  }
  if (ret != platform::kWaitObject0 && ret != platform::kWaitAbandoned) {
    const uint32_t error = ret == platform::kWaitTimeout ? platform::kErrorTimeout : platform::LastError();
    platform::CloseNamedMutex(h);
    LogFailure(f, port, error);
    return nullptr;
  }
  return h;
}

// Releases log at level 2 in every family.
void Release(const Family& f, uint32_t port, MutexHandle h) {
  if (!h) return;
  const uint32_t hv = platform::NamedMutexHandleValue(h);
  if (f.withPort) {
    OutputLog(LogLevel::kStep, port, nullptr, 0, f.release, hv, port, Pid(), Tid());
  } else {
    OutputLog(LogLevel::kStep, port, nullptr, 0, f.release, hv, Pid(), Tid());
  }
  platform::ReleaseNamedMutex(h);
  platform::CloseNamedMutex(h);
}

}  // namespace

MutexHandle k_RFRW_SetMutexAPI(uint32_t port) { return Take(kApi, ApiMutexName(port), port); }
MutexHandle k_RFRW_SetMutexList(uint32_t port) { return Take(kList, kListMutexName, port); }
MutexHandle k_RFRW_SetMutexRW(uint32_t port) { return Take(kRw, RwMutexName(port), port); }
void k_RFRW_ReleaseMutexAPI(uint32_t port, MutexHandle h) { Release(kApi, port, h); }
void k_RFRW_ReleaseMutexList(uint32_t port, MutexHandle h) { Release(kList, port, h); }
void k_RFRW_ReleaseMutexRW(uint32_t port, MutexHandle h) { Release(kRw, port, h); }

}  // namespace zq::drv
