#include "driver/log/thread_lines.h"

#include "driver/log/output_log.h"
#include "platform/os/process.h"
#include "platform/os/threads.h"

namespace zq::drv {
namespace {

void OnMarkedThreadExit() {
  OutputLog(LogLevel::kError, 0, nullptr, 0, "DLL_THREAD_DEATACH PID=%x TID=%x", platform::CurrentProcessId(),
            platform::CurrentThreadId());
}

}  // namespace

void StartThreadLines() { platform::InstallThreadExitHook(&OnMarkedThreadExit); }

void StopThreadLines() { platform::RemoveThreadExitHook(); }

void EndThreadNote() {
  if (platform::UnmarkCurrentThread()) OnMarkedThreadExit();
}

void NoteThread() {
  if (platform::MarkCurrentThread()) {
    OutputLog(LogLevel::kError, 0, nullptr, 0, "DLL_THREAD_ATTACH PID=%x TID=%x", platform::CurrentProcessId(),
              platform::CurrentThreadId());
  }
}

}  // namespace zq::drv
