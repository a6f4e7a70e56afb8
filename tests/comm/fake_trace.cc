// A stand-in for the optional trace library: it records the calls it gets
// and opens every trace it is asked for, unless told to refuse some.
#include "fake_trace.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
FakeTraceLog g_log;
}  // namespace

EXPORT FakeTraceLog* ZqFakeTraceLog() { return &g_log; }

EXPORT int32_t OPOSTraceOpenEx(const char* name) {
  g_log.opened.emplace_back(name ? name : "(null)");
  if (g_log.refuse > 0) {
    --g_log.refuse;
    return -1;
  }
  return 7;
}

EXPORT void OPOSTraceEx(int32_t, const char*) { ++g_log.traceCalls; }

EXPORT void OPOSTraceCloseEx(int32_t state) { g_log.closed.push_back(state); }

EXPORT int32_t OPOSTraceFileSaveEx(int32_t) { return 0; }
EXPORT int32_t OPOSTraceFileSaveEx2(int32_t, const char*) { return 0; }
