// What the fake trace library (built as libZQTRACE2.so for the trace tests)
// records of the calls the comm library makes into it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeTraceLog {
  std::vector<std::string> opened;  // every name OPOSTraceOpenEx was given
  std::vector<int32_t> closed;      // every state OPOSTraceCloseEx was given
  int refuse = 0;                   // the next this many opens answer -1
  int traceCalls = 0;               // OPOSTraceEx: must stay 0
};

// Exported by the fake under this name.
using FakeTraceLogFunc = FakeTraceLog* (*)();
inline constexpr const char* kFakeTraceLogSymbol = "ZqFakeTraceLog";
