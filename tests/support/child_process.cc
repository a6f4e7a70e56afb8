#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace zq::test {
namespace {

long NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                           const std::string& cwd, const std::string& program) {
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(program.empty() ? args[0] : program.c_str(), args.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    Wait();
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

void ChildProcess::Send(const std::string& line) {
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

std::optional<std::string> ChildProcess::ReadLine(int timeoutMs) {
  const long deadline = NowMs() + timeoutMs;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    long left = deadline - NowMs();
    if (left <= 0) return std::nullopt;
    struct pollfd p {out_, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return std::nullopt;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string ChildProcess::Ask(const std::string& line, int timeoutMs) {
  Send(line);
  return ReadLine(timeoutMs).value_or("");
}

std::optional<int> ChildProcess::WaitFor(int timeoutMs) {
  const long deadline = NowMs() + timeoutMs;
  while (!reaped_) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (NowMs() >= deadline) return std::nullopt;
    usleep(10000);
  }
  return status_;
}

void ChildProcess::Kill(int signal) {
  if (!reaped_) kill(pid_, signal);
}

int ChildProcess::Wait() {
  if (!reaped_) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

}  // namespace zq::test
