#include "driver/transport/device.h"

#include "driver/api/shared_area.h"

namespace zq::drv {

int32_t k_RS_Open(PortDataArea&) {
  // No comm library is bound by this build, so no device is attached and
  // the open markers stay clear: the byte transport reports "not open".
  return 0;
}

void RW_Close(PortDataArea& area) {
  for (uintptr_t& marker : area.openMarkers) marker = 0;
  area.state = -1;
}

}  // namespace zq::drv
