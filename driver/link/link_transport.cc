#include "driver/link/link_transport.h"

#include <atomic>

namespace zq::drv {
namespace {

int32_t NotOpenWrite(PortDataArea&, const uint8_t*, uint32_t) { return kRwNotOpen; }
int32_t NotOpenRead(PortDataArea&, uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) { return kRwNotOpen; }
int32_t NoPurge(PortDataArea&) { return 0; }

constexpr LinkTransport kNoTransport{&NotOpenWrite, &NotOpenRead, &NoPurge};

// Constant-initialised: the attach code installs before C++ constructors run.
std::atomic<const LinkTransport*> g_installed{nullptr};

}  // namespace

void InstallLinkTransport(const LinkTransport* transport) { g_installed.store(transport, std::memory_order_release); }

const LinkTransport& InstalledLinkTransport() {
  const LinkTransport* t = g_installed.load(std::memory_order_acquire);
  return t ? *t : kNoTransport;
}

}  // namespace zq::drv
