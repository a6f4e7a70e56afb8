#include "platform/os/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

#include "platform/os/syscalls.h"
#include "platform/os/syslog_sender.h"
#include "platform/os/win32_errors.h"

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

namespace {

// In a forked child: only async-signal-safe calls until the exec.
[[noreturn]] void ExecProgram(const char* program, char* const* args, bool quietOutput, int reportFd) {
  ::setpgid(0, 0);  // a terminal's Ctrl-C meant for the application does not reach it
  const int in = ::open("/dev/null", O_RDONLY);  // it reads nothing: no caller's pipe stays open in it
  if (in >= 0) ::dup2(in, 0);
  if (quietOutput) {
    const int out = ::open("/dev/null", O_WRONLY);
    if (out >= 0) ::dup2(out, 1);
  }
  ::execve(program, args, environ);
  const int err = errno;
  (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

}  // namespace

uint32_t StartProgram(const std::string& program, const std::string& argv0, bool quietOutput, bool highPriority) {
  // The program runs as a grandchild: the child between exits at once, so
  // the program belongs to init, which collects it when it ends, whenever
  // that is; the caller never keeps an ended program as a zombie. Two
  // close-on-exec pipes carry back its id and, if the exec fails, its errno.
  int idPipe[2], execPipe[2];
  if (Sys().pipe2(idPipe, O_CLOEXEC) != 0) {
    SetLastError(Win32FromErrno(errno));
    return 0;
  }
  if (Sys().pipe2(execPipe, O_CLOEXEC) != 0) {
    SetLastError(Win32FromErrno(errno));
    ::close(idPipe[0]);
    ::close(idPipe[1]);
    return 0;
  }
  char* args[] = {const_cast<char*>(argv0.c_str()), nullptr};
  const pid_t middle = ::fork();
  if (middle == 0) {
    const pid_t pid = ::fork();
    if (pid == 0) ExecProgram(program.c_str(), args, quietOutput, execPipe[1]);
    (void)!::write(idPipe[1], &pid, sizeof pid);
    ::_exit(0);
  }
  const int forkError = errno;
  ::close(idPipe[1]);
  ::close(execPipe[1]);
  pid_t pid = -1;
  int execError = 0;
  if (middle > 0) {
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (Sys().read(idPipe[0], &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) pid = -1;
    // End of file once the exec has closed the pipe; an errno when it failed.
    ssize_t n;
    while ((n = Sys().read(execPipe[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof execError)) execError = 0;
  }
  ::close(idPipe[0]);
  ::close(execPipe[0]);
  if (middle < 0 || pid <= 0 || execError != 0) {
    SetLastError(Win32FromErrno(middle < 0 ? forkError : pid <= 0 ? EAGAIN : execError));
    return 0;
  }
  if (highPriority) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), -10);
  return static_cast<uint32_t>(pid);
}

void NotifyUser(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  SendToSystemLog(LogSeverity::kError, caption, text);
}

bool CountsAsAdministrator(uint32_t euid, const std::vector<uint32_t>& groups,
                           const std::vector<uint32_t>& administratorGroupIds) {
  if (euid == 0) return true;
  for (uint32_t g : groups) {
    for (uint32_t a : administratorGroupIds) {
      if (g == a) return true;
    }
  }
  return false;
}

bool IsAdministrator() {
  int count = ::getgroups(0, nullptr);
  if (count < 0) {
    SetLastError(Win32FromErrno(errno));
    return ::geteuid() == 0;
  }
  std::vector<gid_t> ids(static_cast<size_t>(count) + 1);
  count = ::getgroups(count, ids.data());
  if (count < 0) {
    SetLastError(Win32FromErrno(errno));
    return ::geteuid() == 0;
  }
  ids.resize(static_cast<size_t>(count));
  ids.push_back(::getegid());
  std::vector<uint32_t> groups(ids.begin(), ids.end());
  std::vector<uint32_t> administratorGroupIds;
  std::vector<char> buf(16384);
  for (const char* name : kAdministratorGroups) {
    struct group grp {};
    struct group* found = nullptr;
    int rc;
    // A group with many members needs a bigger buffer than the first guess;
    // giving up on it would refuse its members.
    while ((rc = ::getgrnam_r(name, &grp, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 24)) {
      buf.resize(buf.size() * 2);
    }
    if (rc == 0 && found) administratorGroupIds.push_back(static_cast<uint32_t>(found->gr_gid));
  }
  return CountsAsAdministrator(static_cast<uint32_t>(::geteuid()), groups, administratorGroupIds);
}

}  // namespace zq::platform
