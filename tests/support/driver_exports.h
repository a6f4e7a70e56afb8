// The driver's exported functions looked up in a library loaded with dlopen,
// for the programs that load the installed driver: the probe, the
// benchmarks and the soak.
#pragma once

#include <dlfcn.h>

#include "client/driver_exports.h"

namespace zq::test {

struct DriverExports : client::DriverExports {
  // Looks the five up in `library` (a dlopen handle); true when all are there.
  bool LookUp(void* library) {
    return client::DriverExports::LookUp([library](const char* name) { return dlsym(library, name); });
  }
};

}  // namespace zq::test
