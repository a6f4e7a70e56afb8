#include "driver/state/shared_area.h"

#include <atomic>

namespace zq::drv {
namespace {

// Constant-initialised: the attach code may run before any C++ constructor
// of this library, and the detach code after the C++ destructors.
std::atomic<SharedArea*> g_area{nullptr};

}  // namespace

SharedArea* Shared() { return g_area.load(std::memory_order_acquire); }

void PublishSharedArea(SharedArea* area) { g_area.store(area, std::memory_order_release); }

}  // namespace zq::drv
