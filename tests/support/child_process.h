// A child program with its standard input and output on pipes, for tests
// that drive the driver from separate processes.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zq::test {

class ChildProcess {
 public:
  // Starts `argv` with the current environment plus `env`, in directory
  // `cwd` ("" = the current one). The program run is `program`, or argv[0]
  // when `program` is empty.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& cwd = "", const std::string& program = "");
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void Send(const std::string& line);
  // The next output line, or nullopt when none came within timeoutMs or the
  // child closed its output.
  std::optional<std::string> ReadLine(int timeoutMs = 20000);
  // Sends a command and returns its answer line ("" when none came).
  std::string Ask(const std::string& line, int timeoutMs = 20000);
  void Kill(int signal);
  // Waits for the end; the exit code, or 128 + signal.
  int Wait();
  // Waits at most timeoutMs; the exit code, or nullopt while it still runs.
  std::optional<int> WaitFor(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace zq::test
