#include "platform/os/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/os/clock.h"

namespace zq::platform {

namespace {

std::atomic<int> g_stopSignal{0};
std::atomic<bool> g_reload{false};

void OnStopSignal(int signal) {
  int none = 0;
  g_stopSignal.compare_exchange_strong(none, signal);
}

void OnReloadSignal(int) { g_reload.store(true); }

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Calls that the signal interrupts go on: the driver's own waits must not
  // fail because a person pressed Ctrl-C; the stop is seen between calls.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int StopSignalReceived() { return g_stopSignal.load(); }

void CatchReloadSignal() {
  struct sigaction action {};
  action.sa_handler = OnReloadSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &action, nullptr);
}

bool ReloadRequested() { return g_reload.exchange(false); }

bool SleepUnlessSignalled(uint32_t ms) {
  const uint32_t start = TickCount();
  for (;;) {
    if (g_stopSignal.load() != 0) return false;
    const uint32_t spent = TickCount() - start;
    if (spent >= ms) return true;
    SleepMilliseconds(ms - spent < 20 ? ms - spent : 20);
  }
}

void ExitProcessNow(int code) { ::_exit(code); }

}  // namespace zq::platform
