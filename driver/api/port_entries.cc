// Port check, COM port table, port entry take and release, and the inner
// open and close steps shared by the exported functions and process detach.
#include "driver/api/port_entries.h"

#include <atomic>
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/api/lifecycle.h"
#include "driver/api/port_call.h"
#include "driver/link/channel.h"
#include "driver/locks/locks.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/device.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"

namespace zq::drv {
namespace {

constexpr uint32_t kMaxComNumber = 32;

// One row of the COM port table of this process.
struct ComPortRow {
  const char* deviceName;  // "COM1" .. "COM9", "\\.\COM10" .. "\\.\COM32"
  uint32_t comNumber;
  int32_t refCount;        // open port entries of this process on the COM number
};

// One table per process; its counts are changed under the port-list mutex.
ComPortRow g_comPortTable[kMaxComNumber + 1] = {
    {"COM1", 1, 0},          {"COM2", 2, 0},          {"COM3", 3, 0},          {"COM4", 4, 0},
    {"COM5", 5, 0},          {"COM6", 6, 0},          {"COM7", 7, 0},          {"COM8", 8, 0},
    {"COM9", 9, 0},          {"\\\\.\\COM10", 10, 0}, {"\\\\.\\COM11", 11, 0}, {"\\\\.\\COM12", 12, 0},
    {"\\\\.\\COM13", 13, 0}, {"\\\\.\\COM14", 14, 0}, {"\\\\.\\COM15", 15, 0}, {"\\\\.\\COM16", 16, 0},
    {"\\\\.\\COM17", 17, 0}, {"\\\\.\\COM18", 18, 0}, {"\\\\.\\COM19", 19, 0}, {"\\\\.\\COM20", 20, 0},
    {"\\\\.\\COM21", 21, 0}, {"\\\\.\\COM22", 22, 0}, {"\\\\.\\COM23", 23, 0}, {"\\\\.\\COM24", 24, 0},
    {"\\\\.\\COM25", 25, 0}, {"\\\\.\\COM26", 26, 0}, {"\\\\.\\COM27", 27, 0}, {"\\\\.\\COM28", 28, 0},
    {"\\\\.\\COM29", 29, 0}, {"\\\\.\\COM30", 30, 0}, {"\\\\.\\COM31", 31, 0}, {"\\\\.\\COM32", 32, 0},
    {nullptr, 0, 0},
};

std::atomic<bool> g_linkRunsHere[kUnitCount];

void ClearOpenMarkers(PortDataArea& area) {
  for (uintptr_t& marker : area.openMarkers) marker = 0;
}

// The row of `comNumber`, nullptr when there is none.
ComPortRow* FindComPortRow(uint32_t comNumber) {
  for (ComPortRow* row = g_comPortTable; row->deviceName; ++row) {
    if (row->comNumber == comNumber) return row;
  }
  return nullptr;
}

// Releases the COM port table row of `entry`: the close that brings its count
// from 1 to 0 closes the device. Call under the port-list mutex.
void ReleasePort(PortEntry& entry) {
  ComPortRow* row = FindComPortRow(ComNumberOf(entry.port));
  if (!row || !entry.dataArea) return;
  if (row->refCount == 1) {
    row->refCount = 0;
    RW_Close(*entry.dataArea);
  } else if (row->refCount > 1) {
    // Another unit of this process still uses the device; the unit that
    // goes away no longer counts as open.
    row->refCount -= 1;
    ClearOpenMarkers(*entry.dataArea);
  }
}

}  // namespace

bool LinkRunsHere(uint32_t unit) { return unit < static_cast<uint32_t>(kUnitCount) && g_linkRunsHere[unit].load(); }

void SetLinkRunsHere(uint32_t unit, bool runs) {
  if (unit < static_cast<uint32_t>(kUnitCount)) g_linkRunsHere[unit].store(runs);
}

bool PortNumberValid(uint32_t port) {
  const uint32_t com = ComNumberOf(port);
  return com >= 1 && com <= kMaxComNumber && UnitIndexOf(port) < static_cast<uint32_t>(kUnitCount);
}

int32_t k_PortCheck(uint32_t port) {
  const uint32_t com = ComNumberOf(port);
  const uint32_t unit = UnitIndexOf(port);
  if (PortNumberValid(port)) return 0;
  OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_PortCheck(1) detail1 = %d detail2 = %d  (%d)", static_cast<int>(com),
            static_cast<int>(unit), 1098);
  return kPortCheckFailed;
}

void InitialisePortEntries(SharedArea& area) {
  for (PortSlot& slot : area.portSlots) {
    slot.useCount = 0;
    slot.linkRunning = 0;
  }
}

PortEntry* LookupPortEntry(uint32_t port) {
  const uint32_t unit = UnitIndexOf(port);
  if (!Shared() || unit >= static_cast<uint32_t>(kUnitCount)) return nullptr;
  PortEntry& entry = LocalPortEntry(unit);
  return entry.slot && entry.slot->useCount != 0 ? &entry : nullptr;
}

int32_t k_RS_Open_Test(uint32_t port) {
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_RS_Open_Test");
  MutexHandle list = k_RFRW_SetMutexList(port);
  if (!list) {
    // The port table is not ours to change without its mutex.
    return platform::LastError() == platform::kErrorTimeout ? RFRW_ERROR_OPEN_ELSEWHERE : RFRW_ERROR_INTERNAL;
  }
  if (LibraryDetaching()) {
    // The process is unloading the library: k_List_free has released (or is
    // about to release) its entries and must not leave one behind.
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_RS_Open_Test(3) library detaching");
    k_RFRW_ReleaseMutexList(port, list);
    return RFRW_ERROR_INTERNAL;
  }
  SharedArea& area = *Shared();
  PortDataArea& data = area.portDataAreas[UnitIndexOf(port)];
  data.port = port;
  ComPortRow* row = FindComPortRow(ComNumberOf(port));
  std::memset(data.deviceName, 0, sizeof data.deviceName);
  std::strncpy(data.deviceName, row->deviceName, sizeof data.deviceName - 1);

  const int32_t attached = k_RS_Open(data);
  if (attached != 0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_RS_Open_Test(2), FncRet=%d", attached);
    k_RFRW_ReleaseMutexList(port, list);
    return attached == RFRW_ERROR_FILE_MISSING ? RFRW_ERROR_FILE_MISSING : RFRW_ERROR_DEVICE;
  }
  row->refCount += 1;

  PortEntry& entry = LocalPortEntry(UnitIndexOf(port));
  entry.port = port;
  entry.sequenceBit = 0;
  entry.slot->port = port;
  entry.slot->useCount += 1;
  entry.slot->ownerProcessId = platform::CurrentProcessId();
  k_RFRW_ReleaseMutexList(port, list);
  return RFRW_SUCCESS;
}

int32_t k_D_RW_Open(uint32_t port) {
  const int32_t result = k_RS_Open_Test(port);
  if (result != 0) OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_D_RW_Open(2) detail = %d  (%d)", result, 1749);
  return result;
}

int32_t k_RFRW_Close(uint32_t port) {
  OutputLog(LogLevel::kCall, port, nullptr, 0, "k_RFRW_Close Call  Port = 0x%x", port);
  if (CheckPortNumber(port, "D_Error k_RFRW_Close(1) detail = %d  (%d)", 928) != RFRW_SUCCESS) {
    return RFRW_ERROR_PARAMETER;
  }
  ApiMutexHold api(port);
  if (!api.held()) {
    OutputLog(LogLevel::kStep, port, nullptr, 0, "k_RFRW_Close Out  Ret = %d", api.failure());
    return api.failure();
  }
  PortEntry* entry = LookupPortEntry(port);
  const uint32_t self = platform::CurrentProcessId();
  if (entry && entry->slot->ownerProcessId != 0 && entry->slot->ownerProcessId == self) {
    // Without the list mutex (held past its bound by another process) the
    // close goes on: the entry is this process's own.
    MutexHandle list = k_RFRW_SetMutexList(port);
    // Process detach may have released the entry meanwhile.
    if (entry->slot->useCount != 0 && entry->slot->ownerProcessId == self) {
      // The link thread goes first: the device release may unload the comm
      // library it reads through.
      k_L_Level_End(port, *entry);
      SetLinkRunsHere(UnitIndexOf(port), false);
      ReleasePort(*entry);
      entry->slot->useCount = 0;
      entry->slot->ownerProcessId = 0;
    }
    k_RFRW_ReleaseMutexList(port, list);
  }
  const int32_t result = RFRW_SUCCESS;
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_RFRW_Close Out  Ret = %d", result);
  return result;
}

void k_List_free() {
  SharedArea* area = Shared();
  if (!area) return;
  OutputLog(LogLevel::kCall, 0x200, nullptr, 0, "k_List_free Call");
  MutexHandle list = k_RFRW_SetMutexList(0x200);
  const uint32_t self = platform::CurrentProcessId();
  // Every link thread of the process stops before any device is released:
  // the ports share the process's one comm library binding.
  for (int unit = 0; unit < kUnitCount; ++unit) {
    PortEntry& entry = LocalPortEntry(static_cast<uint32_t>(unit));
    const PortSlot& slot = area->portSlots[unit];
    if (slot.ownerProcessId != self || slot.useCount == 0 || !LinkRunsHere(static_cast<uint32_t>(unit))) continue;
    k_ForcedClose(entry);
    FreeLinkBuffers(entry);
    SetLinkRunsHere(static_cast<uint32_t>(unit), false);
  }
  for (int unit = 0; unit < kUnitCount; ++unit) {
    PortEntry& entry = LocalPortEntry(static_cast<uint32_t>(unit));
    PortSlot& slot = area->portSlots[unit];
    if (slot.ownerProcessId != self) continue;
    if (slot.useCount != 0) {
      ReleasePort(entry);
      slot.linkRunning = 0;
      slot.useCount = 0;
    }
    slot.ownerProcessId = 0;
  }
  k_RFRW_ReleaseMutexList(0x200, list);
}

}  // namespace zq::drv
