#include "platform/process.h"

#include <dlfcn.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/win32_errors.h"

namespace zq::platform {

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool ProcessIsAlive(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno == EPERM;  // exists, owned by someone else
}

std::string OwnModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

bool IsAdministrator() {
  if (::geteuid() == 0) return true;
  int count = ::getgroups(0, nullptr);
  if (count < 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  std::vector<gid_t> groups(static_cast<size_t>(count) + 1);
  count = ::getgroups(count, groups.data());
  if (count < 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  groups.resize(static_cast<size_t>(count));
  groups.push_back(::getegid());
  for (const char* name : {"sudo", "wheel", "admin"}) {
    struct group grp {};
    struct group* found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrnam_r(name, &grp, buf.data(), buf.size(), &found) != 0 || !found) continue;
    for (gid_t g : groups) {
      if (g == found->gr_gid) return true;
    }
  }
  return false;
}

}  // namespace zq::platform
