// Loading a shared library at run time and finding its entry points.
#pragma once

#include <string>

namespace zq::platform {

struct Module;

// Loads the library at `path` (all symbols bound now, kept local). nullptr
// with LastError() kErrorModNotFound (126) when it cannot be loaded.
// Thread-safe; blocks for the load.
Module* LoadModule(const std::string& path);
// The same, and when it fails *reason gets the loader's own words (a
// missing file, a missing dependency, a wrong architecture) for a person.
// Thread-safe; blocks for the load.
Module* LoadModule(const std::string& path, std::string* reason);
// Loads a library by its bare file name, where the dynamic loader would
// find it: an object of that name already loaded, or a file of that name in
// $LD_LIBRARY_PATH, the directories of /etc/ld.so.conf (and its includes)
// or the default ones. When there is none, nothing is tried: nullptr with
// kErrorModNotFound. Thread-safe; blocks for the search and the load.
Module* LoadModuleByName(const std::string& name);
// The address of `name`, or nullptr with LastError() kErrorProcNotFound (127).
void* FindSymbol(Module* module, const char* name);
// Unloads it; nullptr is ignored.
void FreeModule(Module* module);

}  // namespace zq::platform
