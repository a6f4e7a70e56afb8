// The calling process and thread, other processes, and this module.
#pragma once

#include <cstdint>
#include <string>

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

// True when the process may administer the machine: effective uid 0, or a
// member of the group "sudo", "wheel" or "admin". Sets LastError() and
// returns false when membership cannot be determined.
bool IsAdministrator();

}  // namespace zq::platform
