// What this process keeps for itself: its view of each unit it owns (the
// link thread, the two pipes and events, the buffers) and the files and
// settings it takes from its own copy of the library, never from the shared
// area: another process could have written anything there.
#pragma once

#include <cstdint>
#include <string>

#include "driver/state/shared_area.h"

namespace zq::drv {

// One unit as this process sees it. The entry is this process's own; its
// `slot` is the unit's record in the shared area (whether it is open and by
// whom), `dataArea` the unit's shared device working area.
struct PortEntry {
  PortSlot* slot;
  uint32_t port;             // the full value given to RFRW_Open
  uintptr_t linkThread;
  // D side: read end of pipe 1, write end of pipe 2, event 1, event 2.
  uintptr_t dPipe1Read;
  uintptr_t dPipe2Write;
  uintptr_t dEvent1;
  uintptr_t dEvent2;
  // L side: read end of pipe 2, write end of pipe 1, event 2, event 1.
  uintptr_t lPipe2Read;
  uintptr_t lPipe1Write;
  uintptr_t lEvent2;
  uintptr_t lEvent1;
  PortDataArea* dataArea;
  uint8_t* requestBuffer;    // one LevelMessage, allocated while the link runs
  uint8_t* responseBuffer;
  uint8_t sequenceBit;
  void* linkContext;         // set by the link thread when it starts, cleared by the API side when it ends the link
};

// This process's entry of `unit` (0 .. kUnitCount-1; other values give the
// last unit's, which callers never ask for: units are checked first).
// Bound to the shared area's records when the area is published. Lock-free.
PortEntry& LocalPortEntry(uint32_t unit);

// Points every entry at its records in `area` (nullptr: at none). The
// attach code calls it when it publishes the area.
void BindLocalPortEntries(SharedArea* area);

// The files and settings of this process, from its own copy of the library:
// the INI file beside it, the comm library, collector and firmware file,
// and the keys that decide what the process may do or load.
struct ProcessConfig {
  std::string libraryDir;    // with its trailing '/'
  std::string iniPath;
  std::string dspFileName;   // "DspFileName" as the INI file gives it
  bool iniOwnedByRoot = false;  // the INI file belongs to root and only root may change it
  int32_t adminCheckCut = 0;    // "AdminCheckCut"
  int32_t lockTimeoutMs = 300000;  // "LockTimeout": the bound of every wait for a shared lock
};

// This process's configuration; filled once at attach, read-only after.
const ProcessConfig& Config();
ProcessConfig& MutableConfig();  // the attach code only

}  // namespace zq::drv
