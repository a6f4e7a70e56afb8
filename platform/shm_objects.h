// Internal to the platform layer: the POSIX shared-memory objects behind
// shared sections and named mutexes.
#pragma once

#include <string>

namespace zq::platform::detail {

// flock that resumes after signals; returns 0 or -1 with errno.
int FlockRetry(int fd, int op);

// Opens or creates the shared-memory object `name` for reading and writing,
// close-on-exec. Objects are made readable and writable for every user, as a
// DLL's shared section and named mutexes are for every process that loads
// the DLL; the umask would otherwise lock out a second user of the reader.
// Returns the descriptor, or -1 with errno.
int OpenSharedObject(const std::string& name);

}  // namespace zq::platform::detail
