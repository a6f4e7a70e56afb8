// Other programs run for a task: started, waited for with their output
// captured, or ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq::platform {

// RunProgram's result when the program could not be started at all.
inline constexpr int kProgramNotStarted = -1;

// Runs `argv` (element 0 the program's path) as a child with the caller's
// environment, standard input from /dev/null, standard error shared with
// the caller and standard output captured into *output. Waits until the
// child has ended, then takes what it wrote (a daemon that the child leaves
// behind keeps no hold on the output). Returns the exit code, 128 + the
// signal that ended it, or kProgramNotStarted with LastError() set when it
// could not be started (kErrorFileNotFound for a missing program). Thread-safe; blocks
// until the child ends.
int RunProgram(const std::vector<std::string>& argv, std::string* output);

// Asks the process `pid` to end (SIGTERM) and waits up to `graceMs` for it
// to go; then kills it (SIGKILL) and waits up to another second. True when
// it is gone (also when it was gone already). A pid of 0 is ignored (true).
// Blocks up to graceMs + 1000 ms.
bool EndProcess(uint32_t pid, uint32_t graceMs);

}  // namespace zq::platform
