#include "platform/os/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/clock.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

namespace {

void Drain(int fd, std::string* output) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      output->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // end of output, or nothing more just now (non-blocking)
  }
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty() || ::access(argv[0].c_str(), X_OK) != 0) {
    SetLastError(kErrorFileNotFound);
    return kProgramNotStarted;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    SetLastError(kErrorNotEnoughMemory);
    return kProgramNotStarted;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    SetLastError(kErrorNotEnoughMemory);
    return kProgramNotStarted;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until the exec.
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    ::dup2(pipeFds[1], 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  std::string discarded;
  std::string* sink = output ? output : &discarded;  // a full pipe would stall the child
  for (;;) {
    pollfd p{pipeFds[0], POLLIN, 0};
    ::poll(&p, 1, 50);
    Drain(pipeFds[0], sink);
    discarded.clear();
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      status = 0;
      break;
    }
  }
  Drain(pipeFds[0], sink);
  ::close(pipeFds[0]);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kProgramNotStarted;  // stopped, or an unknown status
}

bool EndProcess(uint32_t pid, uint32_t graceMs) {
  if (pid == 0) return true;
  auto waitGone = [pid](uint32_t ms) {
    const uint32_t start = TickCount();
    while (ProcessIsAlive(pid)) {
      // Our own child is collected here; another process's is collected by the system.
      int status = 0;
      ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
      if (!ProcessIsAlive(pid)) break;
      if (TickCount() - start >= ms) return false;
      SleepMilliseconds(10);
    }
    return true;
  };
  if (::kill(static_cast<pid_t>(pid), SIGTERM) != 0 && errno == ESRCH) return true;
  if (waitGone(graceMs)) return true;
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  return waitGone(1000);
}

}  // namespace zq::platform
