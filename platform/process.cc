#include "platform/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

#include "platform/syslog_sender.h"
#include "platform/win32_errors.h"

namespace zq::platform {

// Both ids are asked for on every log line, so they are kept rather than
// asked of the kernel each time; a forked child forgets the parent's.
namespace {

std::atomic<uint32_t> g_pid{0};
thread_local uint32_t t_tid = 0;
thread_local uint32_t t_tidPid = 0;  // the process t_tid was taken in

void ForgetPidInChild() { g_pid.store(0); }

}  // namespace

uint32_t CurrentProcessId() {
  uint32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, &ForgetPidInChild) == 0; }();
    (void)registered;
    pid = static_cast<uint32_t>(::getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

uint32_t CurrentThreadId() {
  const uint32_t pid = CurrentProcessId();
  if (t_tid == 0 || t_tidPid != pid) {
    t_tid = static_cast<uint32_t>(::syscall(SYS_gettid));
    t_tidPid = pid;
  }
  return t_tid;
}

bool ProcessIsAlive(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;  // EPERM: another user's
  // A process that has ended but was not yet reaped by its parent (a
  // zombie) has ended all the same.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  std::FILE* f = std::fopen(path, "re");
  if (!f) return true;
  char buf[512];
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // "pid (comm) S ...": the state follows the last ')'.
  const char* close = std::strrchr(buf, ')');
  return !(close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X'));
}

std::string OwnModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

std::string OwnProgramPath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = '\0';
  return path;
}

uint32_t StartProgram(const std::string& program, const std::string& argv0, bool quietOutput, bool highPriority) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // It reads nothing: a caller's input pipe must not be held open by it.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (quietOutput) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group: a terminal's Ctrl-C meant for the application
  // does not stop the collector of every process.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  char* args[] = {const_cast<char*>(argv0.c_str()), nullptr};
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    SetLastError(Win32FromErrno(rc));
    return 0;
  }
  if (highPriority) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), -10);
  return static_cast<uint32_t>(pid);
}

void NotifyUser(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  SendToSystemLog(LogSeverity::kError, caption, text);
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
