#include "platform/os/module.h"

#include <dlfcn.h>
#include <glob.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/os/win32_errors.h"

namespace zq::platform {

struct Module {
  void* handle;
};

Module* LoadModule(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    // Read the loader's message away: it is kept per thread until asked
    // for, and nobody else will ask.
    (void)::dlerror();
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return new Module{h};
}

Module* LoadModule(const std::string& path, std::string* reason) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* text = ::dlerror();
    if (reason) *reason = text ? text : "cannot be loaded";
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return new Module{h};
}

namespace {

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int MatchLoaded(dl_phdr_info* info, size_t, void* data) {
  auto* name = static_cast<std::string*>(data);
  const std::string path = info->dlpi_name ? info->dlpi_name : "";
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? path : path.substr(slash + 1)) == *name ? 1 : 0;
}

// The directories of an ld.so.conf file, following its include lines.
void ConfDirectories(const std::string& file, int depth, std::vector<std::string>* out) {
  std::ifstream in(file);
  for (std::string line; depth < 8 && std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    line = line.substr(b);
    if (line.rfind("include", 0) == 0 && line.size() > 7 && (line[7] == ' ' || line[7] == '\t')) {
      std::string pattern = line.substr(line.find_first_not_of(" \t", 7));
      if (pattern[0] != '/') pattern = "/etc/" + pattern;
      glob_t g{};
      if (::glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i) ConfDirectories(g.gl_pathv[i], depth + 1, out);
      ::globfree(&g);
    } else if (line[0] == '/') {
      out->push_back(line);
    }
  }
}

// Whether the loader can find `name` without a failed attempt. A load that
// is bound to fail is not tried: a failed dlopen from inside a dlopen'ed
// library leaves LeakSanitizer unable to scan thread-local storage at exit.
bool LoaderFinds(std::string name) {
  if (::dl_iterate_phdr(MatchLoaded, &name) != 0) return true;
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("LD_LIBRARY_PATH")) {
    std::string list = env;
    for (size_t at = 0; at <= list.size();) {
      size_t colon = list.find(':', at);
      if (colon == std::string::npos) colon = list.size();
      dirs.push_back(colon > at ? list.substr(at, colon - at) : ".");
      at = colon + 1;
    }
  }
  ConfDirectories("/etc/ld.so.conf", 0, &dirs);
  for (const char* d : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) dirs.emplace_back(d);
  for (const std::string& d : dirs)
    if (IsFile(d + "/" + name)) return true;
  return false;
}

}  // namespace

Module* LoadModuleByName(const std::string& name) {
  if (name.find('/') != std::string::npos || !LoaderFinds(name)) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return LoadModule(name);
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
