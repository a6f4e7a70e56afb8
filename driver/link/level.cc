#include "driver/link/level.h"

#include "driver/api/locks.h"
#include "driver/api/shared_area.h"

namespace zq::drv {

void k_L_Level_End(uint32_t port, PortEntry& entry) {
  MutexHandle rw = k_RFRW_SetMutexRW(port);
  // The link thread is not started yet by this build, so there is no end
  // exchange to run: a port entry whose link never answered has nothing
  // to stop.
  entry.linkRunning = 0;
  k_RFRW_ReleaseMutexRW(port, rw);
}

}  // namespace zq::drv
