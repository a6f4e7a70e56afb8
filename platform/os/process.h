// The calling process and thread, other processes, and this module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq::platform {

// Ids as the system reports them. Never block; thread-safe.
uint32_t CurrentProcessId();
uint32_t CurrentThreadId();

// True while the process `pid` exists (also when it belongs to another user).
// A pid of 0 is never alive. Never blocks.
bool ProcessIsAlive(uint32_t pid);

// The real path of the shared object (or program) that contains this code,
// "" when the loader cannot tell. Never blocks.
std::string OwnModulePath();

// The real path of the running program, "" when the system cannot tell.
std::string OwnProgramPath();

// Starts `program` as a separate process that outlives the caller, with
// `argv0` as its whole argument list (element 0) and the caller's
// environment. `quietOutput` sends its standard output to /dev/null;
// `highPriority` asks for a raised scheduling priority (a refusal is
// ignored). The program is not the caller's child: when it ends, the system
// collects it, and it never lingers as the caller's zombie. Returns the new
// process id, or 0 with LastError() set (a missing program is
// kErrorFileNotFound). Blocks only until the program has been executed.
uint32_t StartProgram(const std::string& program, const std::string& argv0, bool quietOutput, bool highPriority);

// Shows a message to the person running the program, who may not be at a
// console: the caption and text go to standard error and to the system log.
// Never waits for an answer.
void NotifyUser(const std::string& text, const std::string& caption);

// The groups whose members count as administrators of the reader: the
// distributions' administrator groups, and "zelquar", to which the installed
// udev rule gives the reader's hidraw and USB device nodes, so that a member
// can open, use and restart the reader without root.
inline constexpr const char* kAdministratorGroups[] = {"sudo", "wheel", "admin", "zelquar"};

// True when the process may administer the machine: effective uid 0, or a
// member (effective or supplementary group) of one of kAdministratorGroups.
// Sets LastError() and returns false when membership cannot be determined.
// Reads the group database (may block on a network name service);
// thread-safe.
bool IsAdministrator();

// The decision itself, on data: `euid` the effective user id, `groups` the
// process's group ids, `administratorGroupIds` the ids that the groups of
// kAdministratorGroups have on this system (a missing group has none).
bool CountsAsAdministrator(uint32_t euid, const std::vector<uint32_t>& groups,
                           const std::vector<uint32_t>& administratorGroupIds);

}  // namespace zq::platform
