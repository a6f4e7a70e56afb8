// Loading a shared library at run time and finding its entry points.
#pragma once

#include <string>

namespace zq::platform {

struct Module;

// Loads the library at `path` (all symbols bound now, kept local). nullptr
// with LastError() kErrorModNotFound (126) when it cannot be loaded.
// Thread-safe; blocks for the load.
Module* LoadModule(const std::string& path);
// The address of `name`, or nullptr with LastError() kErrorProcNotFound (127).
void* FindSymbol(Module* module, const char* name);
// Unloads it; nullptr is ignored.
void FreeModule(Module* module);

}  // namespace zq::platform
