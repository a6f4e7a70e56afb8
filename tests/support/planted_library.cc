// A library that only leaves a mark when something loads it: the file
// "loaded" beside itself. The access tests plant it where a process that
// trusted the shared area would look for its comm library.
#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {

__attribute__((constructor)) void LeaveAMark() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LeaveAMark), &info) == 0 || !info.dli_fname) return;
  const std::string self = info.dli_fname;
  const std::string mark = self.substr(0, self.find_last_of('/') + 1) + "loaded";
  if (std::FILE* f = std::fopen(mark.c_str(), "w")) std::fclose(f);
}

}  // namespace
