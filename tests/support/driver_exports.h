// The driver's five exported functions looked up in a library loaded with
// dlopen, the way an application finds them, typed from the public header.
// For the programs that load the installed driver: the probe, the
// benchmarks and the soak.
#pragma once

#include <dlfcn.h>

#include "ZELQUAR_Drv.h"

namespace zq::test {

struct DriverExports {
  decltype(&RFRW_Open) open = nullptr;
  decltype(&RFRW_Close) close = nullptr;
  decltype(&RFRW_CLRW_Transmit) transmit = nullptr;
  decltype(&RFRW_PowerCtrl) power = nullptr;
  decltype(&RFRW_GetDllVersion) version = nullptr;

  // Looks the five up in `library` (a dlopen handle); true when all are there.
  bool LookUp(void* library) {
    open = reinterpret_cast<decltype(open)>(dlsym(library, "RFRW_Open"));
    close = reinterpret_cast<decltype(close)>(dlsym(library, "RFRW_Close"));
    transmit = reinterpret_cast<decltype(transmit)>(dlsym(library, "RFRW_CLRW_Transmit"));
    power = reinterpret_cast<decltype(power)>(dlsym(library, "RFRW_PowerCtrl"));
    version = reinterpret_cast<decltype(version)>(dlsym(library, "RFRW_GetDllVersion"));
    return open && close && transmit && power && version;
  }
};

}  // namespace zq::test
