// Process attach and detach of the driver library (ELF constructor and
// destructor), thread attach and detach lines, and the in-flight guard of the
// exported calls.
//
// Sections: state; attach; detach; call scope.
#include "driver/api/lifecycle.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "driver/api/config.h"
#include "driver/api/port_entries.h"
#include "driver/link/link_thread.h"
#include "driver/log/output_log.h"
#include "driver/log/thread_lines.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/rw_io.h"
#include "platform/os/access.h"
#include "platform/os/ini.h"
#include "platform/os/named_mutex.h"
#include "platform/os/process.h"
#include "platform/os/shared_section.h"
#include "platform/os/win32_errors.h"
#include "zq_version.h"

namespace zq::drv {
namespace {

// ---- state ----------------------------------------------------------------

// Only constant-initialised globals here: the loader may run the attach
// code before any C++ constructor of this library, and the detach code after
// C++ destructors.
platform::SharedSection* g_section = nullptr;
std::atomic<bool> g_detached{false};
std::atomic<int> g_callsInFlight{0};
// The process that attached. A child forked from it inherits the mapping,
// the presence lock and these globals, but it never attached: it neither
// counts in the shared area nor may it take anything down there.
std::atomic<uint32_t> g_attachedProcessId{0};

bool AttachedHere() { return g_attachedProcessId.load() == platform::CurrentProcessId(); }

// ---- attach ---------------------------------------------------------------

// The first process of the system configures the library; the rest only
// count themselves. Runs under the section's gate, so concurrent first
// attaches of two processes do not both configure.
void AttachUnderGate(platform::SharedSection& section) {
  auto* area = static_cast<SharedArea*>(section.base);
  if (!area) return;
  if (section.first) area->logLevel = kDefaultLogLevel;
  PublishSharedArea(area);
  BindLocalPortEntries(area);
  if (area->attachCount <= 0) {
    const platform::IniFile ini(Config().iniPath);
    ReadLogSettings(*area, ini.text());
    if (area->logFileFlg == 1) StartCollector(*area);
    OpenLogOutput(*area);
    OutputLog(LogLevel::kError, 0, nullptr, 0, "■■■■ZELQUAR_Drv.dll Version=%s -- Compiled %s %s", ZQ_VERSION_TEXT, __DATE__,
              __TIME__);
    ReadDriverConfig(*area, ini.text());
    InitialisePortEntries(*area);
  } else {
    OpenLogOutput(*area);
  }
  const int32_t count = std::atomic_ref<int32_t>(area->attachCount).fetch_add(1) + 1;
  OutputLog(LogLevel::kCall, 0, nullptr, 0, "DLL_PROCESS_ATTACH PID=%x Process=%d", platform::CurrentProcessId(), count);
}

// The shared state of the namespace could not be joined: nothing is logged
// through it, so the person running the program and the fatal-error file
// are told, and every call of this process answers RFRW_ERROR_INTERNAL.
void ReportRefusedAttach(const platform::SharedSection& section) {
  const bool timedOut = section.error == platform::kErrorTimeout;
  std::string text = "the shared state " + section.objectName + (timedOut ? " stayed locked by another process" : " is refused: ");
  if (!timedOut) text += platform::VerdictText(platform::LastRefusal() == platform::Verdict::kTrusted ? platform::Verdict::kForeignOwner : platform::LastRefusal());
  text += "; the library stays unusable in this process";
  platform::NotifyUser(text, "ZELQUAR_Drv.dll");
  WriteFatalErrorLine("SharedArea attach", section.error, 0);
}

__attribute__((constructor)) void ProcessAttach() {
  g_attachedProcessId.store(platform::CurrentProcessId());
  StartThreadLines();
  InstallLinkTransport(&ReaderLinkTransport());
  const std::string modulePath = platform::OwnModulePath();
  ReadProcessConfig(MutableConfig(), modulePath);
  const std::string key = SharedAreaKey(modulePath);
  const int gateBound = std::min(Config().lockTimeoutMs, platform::kDefaultGateTimeoutMs);
  g_section = new platform::SharedSection(platform::AttachSharedSection(key, sizeof(SharedArea), &AttachUnderGate, gateBound));
  if (g_section->refused) ReportRefusedAttach(*g_section);
}

// ---- detach ---------------------------------------------------------------

void DetachUnderGate(platform::SharedSection&) {
  SharedArea* area = Shared();
  if (!area) return;
  const int32_t count = std::atomic_ref<int32_t>(area->attachCount).fetch_sub(1) - 1;
  OutputLog(LogLevel::kError, 0, nullptr, 0, "DLL_PROCESS_DETACH PID=%x Process=%d g_YorN=%d g_outputhFile=0x%x",
            platform::CurrentProcessId(), count, area->logFileFlg, LogOutputHandleValue());
}

// Runs at exit() and at the last dlclose, possibly while other threads of
// the process are still inside an exported call: those keep their mapping
// and find the library detached at their next call. So does a link thread
// that outlived its stop bound: it may still read its port's records.
__attribute__((destructor)) void ProcessDetach() {
  if (!AttachedHere()) {
    // A forked child at its exit(): the presence lock it inherited is the
    // parent's (flock belongs to the shared open file), so the section is
    // not touched; only this process's own thread watch goes.
    StopThreadLines();
    return;
  }
  if (!Shared() || !g_section) return;
  // Refuse new calls first; an open already in flight that reaches the port
  // table after k_List_free sees the flag and takes no entry.
  g_detached.store(true);
  k_List_free();
  const bool idle = g_callsInFlight.load() == 0 && LinkThreadsRunning() == 0;
  const int gateBound = std::min(Config().lockTimeoutMs, platform::kDefaultGateTimeoutMs);
  platform::DetachSharedSection(
      *g_section, idle,
      [idle](platform::SharedSection& section) {
        DetachUnderGate(section);
        if (SharedArea* area = Shared()) CloseLogOutput(*area);
        if (idle) {
          PublishSharedArea(nullptr);
          BindLocalPortEntries(nullptr);
        }
      },
      gateBound);
  StopThreadLines();
  if (idle) {
    delete g_section;
    g_section = nullptr;
    // Nothing of this process takes a mutex any more: the last process to
    // let go of one removes it.
    platform::LetGoOfNamedMutexes();
  }
}

}  // namespace

// ---- call scope -----------------------------------------------------------

ApiCallScope::ApiCallScope() {
  g_callsInFlight.fetch_add(1);
  usable_ = !g_detached.load() && Shared() != nullptr && AttachedHere();
  if (usable_) NoteThread();
}

ApiCallScope::~ApiCallScope() { g_callsInFlight.fetch_sub(1); }

bool LibraryDetaching() { return g_detached.load(); }

}  // namespace zq::drv
