#include "driver/state/shared_area.h"

#include <atomic>
#include <limits>

namespace zq::drv {
namespace {

// Constant-initialised: the attach code may run before any C++ constructor
// of this library, and the detach code after the C++ destructors.
std::atomic<SharedArea*> g_area{nullptr};

constexpr int32_t kHour = 3600000;

// The documented ranges (docs/ZELQUAR_Drv.ini.example). Flags (tested for
// 1 or bit 0) and the log level (a filter) need none.
struct FieldRange {
  int32_t SharedArea::*field;
  NumberRange range;
};
constexpr FieldRange kRanges[] = {
    {&SharedArea::blockTimeout, {1, kHour}},
    {&SharedArea::retryTimeoutApi, {0, kHour}},
    {&SharedArea::retryTimeoutLink, {0, kHour}},
    {&SharedArea::characterTimeout, {1, kHour}},
    {&SharedArea::transmitRetryNum, {0, 1000}},
    {&SharedArea::openRetryNum, {0, 1000}},
    {&SharedArea::openTimeoutRetryNum, {0, 1000}},
    {&SharedArea::dspRfSendMaxTime, {0, 255}},
    {&SharedArea::gpioInitialData, {0, 0xFFFF}},
    {&SharedArea::hidDeviceOpenRetryCount, {0, 50}},
    {&SharedArea::rwPowerOffOnRetryCount, {0, 10}},
};

}  // namespace

SharedArea* Shared() { return g_area.load(std::memory_order_acquire); }

void PublishSharedArea(SharedArea* area) { g_area.store(area, std::memory_order_release); }

NumberRange RangeOf(int32_t SharedArea::*field) {
  for (const FieldRange& r : kRanges) {
    if (r.field == field) return r.range;
  }
  return {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
}

int32_t Bounded(int32_t SharedArea::*field, int32_t fallback) {
  const SharedArea* area = Shared();
  if (!area) return fallback;
  // Another process may write the field at any time: one whole load.
  const int32_t value = std::atomic_ref<int32_t>(const_cast<int32_t&>(area->*field)).load(std::memory_order_relaxed);
  return Clamp(value, RangeOf(field));
}

}  // namespace zq::drv
