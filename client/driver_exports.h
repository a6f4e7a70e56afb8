// The driver's five exported functions, typed from its public header and
// looked up by name in a loaded library: the one list of them, for
// libzelquar and for the programs that load the installed driver the way an
// application does (the probe, the benchmarks, the soak).
#pragma once

#include "ZELQUAR_Drv.h"

namespace zq::client {

struct DriverExports {
  decltype(&RFRW_Open) open = nullptr;
  decltype(&RFRW_Close) close = nullptr;
  decltype(&RFRW_CLRW_Transmit) transmit = nullptr;
  decltype(&RFRW_PowerCtrl) power = nullptr;
  decltype(&RFRW_GetDllVersion) version = nullptr;

  // Looks the five up with `find` (a name to its address, nullptr when
  // absent); true when all are there.
  template <typename Find>
  bool LookUp(Find&& find) {
    open = reinterpret_cast<decltype(open)>(find("RFRW_Open"));
    close = reinterpret_cast<decltype(close)>(find("RFRW_Close"));
    transmit = reinterpret_cast<decltype(transmit)>(find("RFRW_CLRW_Transmit"));
    power = reinterpret_cast<decltype(power)>(find("RFRW_PowerCtrl"));
    version = reinterpret_cast<decltype(version)>(find("RFRW_GetDllVersion"));
    return open && close && transmit && power && version;
  }
};

}  // namespace zq::client
