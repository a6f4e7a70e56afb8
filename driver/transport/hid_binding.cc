// The comm library binding.
//
// Sections: state; open parameters; load and bind; requests.
#include "driver/transport/hid_binding.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "comm/zq_comm_boundary.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/channel.h"
#include "platform/os/clock.h"
#include "platform/os/module.h"
#include "platform/os/win32_errors.h"
#include "protocol/bridge_reports.h"

namespace zq::drv {
namespace {

// ---- state --------------------------------------------------------------------

constexpr uint32_t kLogPort = 512;

// The comm library and its entry points, shared by every device. Changed
// only by open, close and the failed-open path (on the thread that opens or
// closes a port, under the port-list mutex and the bridge); read by every
// request.
platform::Module* g_hHidModule = nullptr;
comm::PortInitFunc g_fpInit = nullptr;
comm::PortTermFunc g_fpTerm = nullptr;
std::atomic<comm::PortFunc> g_fpFunc{nullptr};
constexpr uint32_t kDrainBoundMs = 3000;

// The wait for input (HidRwWaitForInput): the word and OVERLAPPED that a
// pending WaitPortEvent leaves with the port object, and the event its
// reader sets when bytes arrive. Made with the device's port object and
// freed after it has ended (or kept with it), as the port object may still
// hold the waiter after a wait has timed out. All link threads of the
// device share it.
struct InputWait {
  platform::SyncEvent event{true};
  comm::OVERLAPPED overlapped{};
  uint32_t events = 0;
  InputWait() { overlapped.hEvent = &event; }
};

// One bridge the process has open: the comm library's port object for it
// and what goes with it. Several COM numbers may share one (those bound to
// the same serial number, and all unbound ones: the first matching bridge).
struct BoundDevice {
  std::atomic<bool> used{false};
  std::string serial;  // "" the first matching bridge; written only while `used` is false
  std::atomic<void*> port{nullptr};
  std::atomic<InputWait*> inputWait{nullptr};
  // The two events handed over with each open; the next open or the close
  // releases them.
  platform::Event* openEvents[2] = {nullptr, nullptr};
  // Requests of any thread inside the comm library for this device right
  // now. The port object is ended only once none is: a link thread may be
  // in a read when its device goes, or be stuck there past its stop bound.
  std::atomic<int> requestsInside{0};
};

constexpr int kMaxDevices = 32;
BoundDevice g_devices[kMaxDevices];
// The device of each COM number (index + 1; 0 none).
std::atomic<int> g_comDevice[256];
// The COM number whose device this thread's calls address (0: none given,
// the process's first device).
thread_local uint32_t t_comNumber = 0;

BoundDevice* Current() {
  if (t_comNumber != 0) {
    const int d = g_comDevice[t_comNumber & 0xFFu].load();
    if (d > 0) return &g_devices[d - 1];
  }
  for (BoundDevice& d : g_devices) {
    if (d.used) return &d;
  }
  return nullptr;
}

void* CurrentPortObject() {
  BoundDevice* d = Current();
  return d ? d->port.load() : nullptr;
}

void ReleaseOpenEvents(BoundDevice& d) {
  for (platform::Event*& e : d.openEvents) {
    platform::CloseEvent(e);
    e = nullptr;
  }
}

int32_t Call(comm::PortRequest& request) {
  BoundDevice* d = Current();
  if (!d) return kNotBound;
  // Counted before the binding is read: a release that clears the binding
  // afterwards sees this request and waits for it.
  d->requestsInside.fetch_add(1);
  const comm::PortFunc func = g_fpFunc.load();
  void* port = d->port.load();
  const int32_t result = func && port ? func(port, &request) : kNotBound;
  d->requestsInside.fetch_sub(1);
  return result;
}

bool AnyDevice() {
  for (const BoundDevice& d : g_devices) {
    if (d.used) return true;
  }
  return false;
}

// Takes one device away from new requests, waits (bounded) for those still
// inside, then ends its port object. A request that stays inside past the
// bound keeps the port object, the events it was given and (for good) the
// library's code.
bool g_keepModule = false;
void DropDevice(BoundDevice& d) {
  void* port = d.port.exchange(nullptr);
  InputWait* inputWait = d.inputWait.exchange(nullptr);
  for (std::atomic<int>& c : g_comDevice) {
    if (c.load() == &d - g_devices + 1) c.store(0);
  }
  const uint32_t started = platform::TickCount();
  while (d.requestsInside.load() != 0 && platform::TickCount() - started < kDrainBoundMs) platform::SleepMilliseconds(1);
  if (const int inside = d.requestsInside.load(); inside != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "D_ID_USBDRV 120 LIBRARY BUSY inside=%d, kept loaded", inside);
    // Never freed, and held where they stay reachable: the request still
    // inside may use them until the process ends.
    static auto* kept = new std::vector<void*>;
    kept->insert(kept->end(), {port, d.openEvents[0], d.openEvents[1], inputWait});
    for (platform::Event*& e : d.openEvents) e = nullptr;
    g_keepModule = true;
  } else {
    if (g_fpTerm && port) g_fpTerm(port);
    delete inputWait;
    ReleaseOpenEvents(d);
  }
  d.used = false;
  d.serial.clear();
}

// Unloads the library once no device is left.
void DropModuleIfUnused() {
  if (AnyDevice()) return;
  g_fpFunc.store(nullptr);
  if (g_keepModule) {
    static auto* kept = new std::vector<void*>;
    kept->push_back(g_hHidModule);
    g_keepModule = false;
  } else {
    platform::FreeModule(g_hHidModule);
  }
  g_hHidModule = nullptr;
  g_fpInit = nullptr;
  g_fpTerm = nullptr;
}

void DropBinding() {
  if (BoundDevice* d = Current()) DropDevice(*d);
  DropModuleIfUnused();
}

// ---- open parameters ------------------------------------------------------------

struct OpenTexts {
  std::string libraryDir;
  std::string deviceName;
  std::string logicalName;
  char restartPattern[256];
};

}  // namespace

// ---- load and bind ----------------------------------------------------------------

DeviceScope::DeviceScope(uint32_t port) : previous_(t_comNumber) {
  if (const uint32_t com = (port >> 8) & 0xFFu; com != 0) t_comNumber = com;
}

DeviceScope::~DeviceScope() { t_comNumber = previous_; }

std::string ReaderSerialOf(const std::string& iniValue, const std::string& environmentValue) {
  auto trimmed = [](const std::string& v) {
    const size_t first = v.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return v.substr(first, v.find_last_not_of(" \t") - first + 1);
  };
  std::string serial = trimmed(environmentValue);
  if (serial.empty()) serial = trimmed(iniValue);
  if (serial.size() > comm::kSerialNumberMax) serial.resize(comm::kSerialNumberMax);
  return serial;
}

bool HidBound() { return g_hHidModule && g_fpInit && g_fpTerm && g_fpFunc.load(); }

void HidUnbind() { DropBinding(); }

namespace {

// Loads the comm library and binds its entry points, once for all devices.
// 0, or the failure (the library then unloaded again).
int32_t LoadCommLibrary() {
  if (g_hHidModule) return 0;
  g_fpInit = nullptr;
  g_fpTerm = nullptr;
  g_fpFunc.store(nullptr);
  // Always this process's own installation's comm library, found beside
  // its own copy of the driver.
  std::string path = Config().libraryDir + comm::kCommLibraryFile;
  if (path.size() > 260) path.resize(260);
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "LoadLibrary() HidDllPath=%s", path.c_str());
  g_hHidModule = platform::LoadModule(path);
  if (!g_hHidModule) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidDll Load Error,Path=%s", path.c_str());
    return static_cast<int32_t>(platform::LastError());
  }
  g_fpInit = reinterpret_cast<comm::PortInitFunc>(platform::FindSymbol(g_hHidModule, comm::kInitSymbol));
  if (!g_fpInit) {
    const uint32_t error = platform::LastError();
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidDll InitFunc GetProcAddres Error");
    DropModuleIfUnused();
    return static_cast<int32_t>(error);
  }
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "GetProcAddress, g_fpInit=0x%llx", Address(reinterpret_cast<void*>(g_fpInit)));
  g_fpTerm = reinterpret_cast<comm::PortTermFunc>(platform::FindSymbol(g_hHidModule, comm::kTermSymbol));
  if (!g_fpTerm) {
    const uint32_t error = platform::LastError();
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidDll TermFunc GetProcAddres Error");
    DropModuleIfUnused();
    return static_cast<int32_t>(error);
  }
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "GetProcAddress, g_fpTerm=0x%llx", Address(reinterpret_cast<void*>(g_fpTerm)));
  return 0;
}

}  // namespace

int32_t HidRwOpen(uint32_t comNumber, const std::string& serial) {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwOpen() CALL");
  const DeviceScope scope(comNumber << 8);
  // A device of the same serial number (or, unbound, the first matching
  // one) that this process has open already serves this COM number too.
  for (BoundDevice& d : g_devices) {
    if (d.used && d.serial == serial && d.port.load()) {
      if (comNumber != 0) g_comDevice[comNumber & 0xFFu].store(static_cast<int>(&d - g_devices) + 1);
      OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRwOpen() Normal End(Open zumi),g_hHidModule=0x%llx", Address(g_hHidModule));
      return 0;
    }
  }
  BoundDevice* slot = nullptr;
  for (BoundDevice& d : g_devices) {
    if (!d.used) {
      slot = &d;
      break;
    }
  }
  if (!slot) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRwOpen() too many readers open");
    return 14;
  }
  if (const int32_t loaded = LoadCommLibrary(); loaded != 0) return loaded;
  comm::PortFunc func = nullptr;
  uint32_t initError = 0;
  void* port = g_fpInit(&func, &initError);
  if (!port || !func) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidDll Init Error");
    if (port) g_fpTerm(port);
    DropModuleIfUnused();
    return 14;
  }
  slot->serial = serial;
  slot->requestsInside.store(0);
  slot->used = true;
  slot->inputWait.store(new InputWait);
  g_fpFunc.store(func);
  slot->port.store(port);
  const int index = static_cast<int>(slot - g_devices) + 1;
  if (comNumber != 0) g_comDevice[comNumber & 0xFFu].store(index);
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "g_fpInit(), g_cpDllPort=0x%llx", Address(port));
  const int32_t result = HidRw_DeviceOpen();
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwOpen() end:dwRet=%d", result);
  return result;
}

int32_t HidRw_DeviceOpen() {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRw_DeviceOpen() CALL");
  BoundDevice* device = Current();
  if (!device) return kNotBound;
  ReleaseOpenEvents(*device);
  device->openEvents[0] = platform::CreateEvent(true, false);
  device->openEvents[1] = platform::CreateEvent(true, false);

  const SharedArea* area = Shared();
  OpenTexts t;
  t.libraryDir = Config().libraryDir;
  t.deviceName = area ? SharedText(area->pidVid) : "vid_FFF1&pid_7C02";
  t.logicalName = area ? SharedText(area->hidCommDllTrace) : "";
  // A reader bound to its serial number restarts only that bridge: its USB
  // instance ID ends in the serial number.
  if (device->serial.empty()) {
    std::snprintf(t.restartPattern, sizeof t.restartPattern, "USB\\%s", t.deviceName.c_str());
  } else {
    std::snprintf(t.restartPattern, sizeof t.restartPattern, "USB\\%s\\%s", t.deviceName.c_str(), device->serial.c_str());
  }

  comm::PortRequest request{};
  request.code = comm::OpenPort;
  comm::PortOpenParams& p = request.open;
  p.libraryDirectory = t.libraryDir.c_str();
  p.libraryFileName = comm::kCommLibraryFile;
  p.deviceName = t.deviceName.c_str();
  p.logicalDeviceName = t.logicalName.c_str();
  p.eventSourceName = "";
  p.eventText1 = "";
  p.eventText2 = "";
  p.eventLogLevel = 0;
  p.handles[0] = device->openEvents[0];
  p.handles[1] = device->openEvents[1];
  p.restartPattern = t.restartPattern;
  p.reserved1 = 3;
  p.retryTime = 5000;
  p.eventMask = 0xD9;
  p.timeouts = comm::COMMTIMEOUTS{10, 10, 100, 20, 20};
  p.inputQueueSize = 1024;
  p.outputQueueSize = 1024;
  p.lineSettings = "115200,N,8,1";
  std::memset(p.reservedBlock, 0, sizeof p.reservedBlock);
  p.portKind = comm::PortKindHid;
  p.reserved2 = 0;
  p.alternateDeviceName = device->serial.c_str();
  for (int32_t& v : p.values) v = 0;

  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "g_fpFunc() CALL,g_cpDllPort=0x%llx", Address(CurrentPortObject()));
  const int32_t result = Call(request);
  if (result != 0) OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRwOpen ERROR");
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRw_DeviceOpen() end:dwRet=%d", result);
  return result;
}

int32_t HidRw_DeviceClose() {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRw_DeviceClose() start");
  comm::PortRequest request{};
  request.code = comm::ClosePort;
  const int32_t result = Call(request);
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRw_DeviceClose() end:dwRet=%d", result);
  return result;
}

int32_t HidRwClose() {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() start");
  if (!HidBound()) {
    OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() end(close済)");
    return kNotBound;
  }
  // Another COM number still using the device keeps it open.
  if (BoundDevice* d = Current(); d && t_comNumber != 0) {
    const int index = static_cast<int>(d - g_devices) + 1;
    bool shared = false;
    for (uint32_t com = 0; com < 256; ++com) shared |= com != t_comNumber && g_comDevice[com].load() == index;
    if (shared) {
      g_comDevice[t_comNumber].store(0);
      OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() end(device kept for another COM number)");
      return 0;
    }
  }
  const int32_t result = HidRw_DeviceClose();
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() g_fpTerm:g_cpDllPort=0x%llx", Address(CurrentPortObject()));
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() FreeLibrary:g_hHidModule=0x%llx", Address(g_hHidModule));
  DropBinding();
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRwClose() end:dwRet=%d", result);
  return result;
}

int32_t HidDeviceRestart() {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidDeviceRestart() start,g_cpDllPort=0x%llx", Address(CurrentPortObject()));
  HidRw_DeviceClose();
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "DeviceRestart g_fpFunc() start,g_cpDllPort=0x%llx", Address(CurrentPortObject()));
  comm::PortRequest request{};
  request.code = comm::DeviceRestart;
  request.restart.reason = "POTR";
  request.restart.value = 1;
  const int32_t restarted = Call(request);
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "DeviceRestart g_fpFunc() end,dwRet=0x%x", static_cast<uint32_t>(restarted));
  if (restarted != 0) OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidDeviceRestart() error end:dwRet=%d", restarted);
  int32_t result = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    result = HidRw_DeviceOpen();
    if (result == 0) break;
    platform::SleepMilliseconds(100);
  }
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidDeviceRestart() end,dwRet=%d", result);
  return result;
}

// ---- requests ---------------------------------------------------------------------

int32_t HidRwRead(uint8_t* buffer, uint32_t length, uint32_t* bytesRead) {
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidRwRead() START");
  if (!HidBound()) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRwRead() ERROR END(未オープン)");
    return kNotBound;
  }
  comm::PortRequest request{};
  request.code = comm::ReadPort;
  request.read = comm::ReadParams{buffer, length, bytesRead, nullptr};
  const int32_t result = Call(request);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidRwRead() END dwRet=%d", result);
  return result;
}

namespace {

// Runs `wait(func, port, inputWait)` for the calling thread's device,
// counted as a request: the binding's release waits for it, and the
// input wait is not freed under it. kNotBound without a device, a comm
// library or its port object.
template <typename Wait>
int32_t WithInputWait(Wait wait) {
  BoundDevice* d = Current();
  if (!d) return kNotBound;
  d->requestsInside.fetch_add(1);
  const comm::PortFunc func = g_fpFunc.load();
  void* port = d->port.load();
  InputWait* w = d->inputWait.load();
  const int32_t result = func && port && w ? wait(func, port, *w) : kNotBound;
  d->requestsInside.fetch_sub(1);
  return result;
}

}  // namespace

int32_t HidRwWaitForInput(uint32_t waitMs) {
  return WithInputWait([waitMs](comm::PortFunc func, void* port, InputWait& w) {
    comm::PortRequest request{};
    request.code = comm::WaitPortEvent;
    request.waitEvent = comm::WaitEventParams{&w.events, &w.overlapped};
    const int32_t result = func(port, &request);
    // Set at once when bytes are held already, else by the reader when
    // they come. A stop request of the calling thread ends the wait too.
    if (result == 0) w.event.Wait(static_cast<int32_t>(waitMs));
    return result;
  });
}

int32_t HidRwWaitForBytes(uint32_t waitMs, uint32_t capMs, uint32_t minimum, uint32_t quietMs, bool* ready, uint32_t* held) {
  *ready = false;
  *held = 0;
  return WithInputWait([&](comm::PortFunc func, void* port, InputWait& w) {
    comm::PortRequest request{};
    request.code = comm::WaitPortInput;
    uint32_t quiet = 0;
    request.waitInput = comm::WaitInputParams{&w.events, &w.overlapped, minimum, quietMs, held, &quiet};
    const int32_t result = func(port, &request);
    if (result != 0) return result;
    // Completed by the request itself (set at once) or by the reader
    // within the wait; the word tells which. Bytes held: the wait ends
    // when their quiet time runs out, for the next request to see.
    // (Judged from the counts too, so that an event mask without
    // EV_RXCHAR cannot keep the caller asking for ever.)
    if (*held > 0 && (*held >= minimum || quiet >= quietMs)) {
      *ready = true;
    } else {
      w.event.Wait(static_cast<int32_t>(*held > 0 ? std::min(capMs, quietMs - quiet) : waitMs));
      *ready = (std::atomic_ref<uint32_t>(w.events).load() & comm::EV_RXCHAR) != 0;
    }
    return result;
  });
}

int32_t HidRwWrite(const uint8_t* data, uint32_t length, uint32_t* bytesWritten) {
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidRwWrite() START");
  if (!HidBound()) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRwWrite() ERROR END(未オープン)");
    return kNotBound;
  }
  comm::PortRequest request{};
  request.code = comm::WritePort;
  request.write = comm::WriteParams{data, length, bytesWritten, nullptr};
  const int32_t result = Call(request);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidRwWrite() END dwRet=%d", result);
  return result;
}

int32_t HidRfrwSetFeature(uint8_t* report) {
  OutputLog(LogLevel::kDetail, kLogPort, nullptr, 0, "HidRfrwSetFeature() start");
  if (!HidBound()) return kNotBound;
  // The purge goes with every repeat of the link level: it logs quieter.
  const LogLevel level = (report[0] == protocol::kReportPurgeFifos && report[1] == protocol::kPurgeBoth) ? LogLevel::kStep : LogLevel::kCall;
  OutputLog(level, kLogPort, report, 6, "HidRfrwSetFeature() send,g_cpDllPort=0x%llx,ReportBuf= ",
            Address(CurrentPortObject()));
  comm::PortRequest request{};
  request.code = comm::RfrwSetFeature;
  request.feature = comm::FeatureParams{report, 64};
  const int32_t result = Call(request);
  OutputLog(level, kLogPort, nullptr, 0, "HidRfrwSetFeature() end: dwRet=%d", result);
  if (result != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRfrwSetFeature(): g_cpDllPort=%d",
              static_cast<int>(reinterpret_cast<uintptr_t>(CurrentPortObject())));
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRfrwSetFeature(): Command=%d", 90);
    OutputLog(LogLevel::kError, kLogPort, report, 64, "HidRfrwSetFeature(): dwRet=%d ReportBuf=", result);
  }
  return result;
}

int32_t HidRfrwGetFeature(uint8_t* report) {
  if (!HidBound()) {
    OutputLog(LogLevel::kDetail, kLogPort, nullptr, 0, "HidRfrwGetFeature(): ERROR_INVALID_HANDLE");
    return kNotBound;
  }
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "HidRfrwGetFeature() send");
  comm::PortRequest request{};
  request.code = comm::RfrwGetFeature;
  request.feature = comm::FeatureParams{report, 64};
  const int32_t result = Call(request);
  OutputLog(LogLevel::kCall, kLogPort, report, 6, "HidRfrwGetFeature() end: dwRet=%d, ReportBuf=", result);
  if (result != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRfrwGetFeature(): Command=%d", 91);
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidRfrwGetFeature(): g_cpDllPort=%d",
              static_cast<int>(reinterpret_cast<uintptr_t>(CurrentPortObject())));
    OutputLog(LogLevel::kError, kLogPort, report, 64, "HidRfrwGetFeature(): dwRet=%d ReportBuf=", result);
  }
  return result;
}

}  // namespace zq::drv
