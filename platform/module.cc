#include "platform/module.h"

#include <dlfcn.h>

#include "platform/win32_errors.h"

namespace zq::platform {

struct Module {
  void* handle;
};

Module* LoadModule(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return new Module{h};
}

void* FindSymbol(Module* module, const char* name) {
  void* p = module ? ::dlsym(module->handle, name) : nullptr;
  if (!p) SetLastError(kErrorProcNotFound);
  return p;
}

void FreeModule(Module* module) {
  if (!module) return;
  ::dlclose(module->handle);
  delete module;
}

}  // namespace zq::platform
