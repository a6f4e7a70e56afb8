#include "driver/state/local_state.h"

namespace zq::drv {
namespace {

// Zero-initialised statics: usable before any C++ constructor of the
// library runs (the attach code) and after the destructors (the detach).
PortEntry g_entries[kUnitCount];

}  // namespace

PortEntry& LocalPortEntry(uint32_t unit) {
  return g_entries[unit < static_cast<uint32_t>(kUnitCount) ? unit : kUnitCount - 1];
}

void BindLocalPortEntries(SharedArea* area) {
  for (int i = 0; i < kUnitCount; ++i) {
    g_entries[i].slot = area ? &area->portSlots[i] : nullptr;
    g_entries[i].dataArea = area ? &area->portDataAreas[i] : nullptr;
  }
}

const ProcessConfig& Config() { return MutableConfig(); }

ProcessConfig& MutableConfig() {
  // Never destroyed: the detach code reads it after C++ destructors ran.
  static ProcessConfig* config = new ProcessConfig;
  return *config;
}

}  // namespace zq::drv
