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

// Opens or creates `name` and takes the flock `op` (LOCK_SH or LOCK_EX) on
// it, such that the lock is on the object the name stands for when the call
// returns: an object removed by its last user while this call waited for
// its lock is let go and the name opened anew. Objects are removed (by
// RemoveIfAlone, or shm_unlink) only while their remover holds LOCK_EX, so
// once this returns the object stays named until this lock is dropped.
// Blocks while another process holds a conflicting lock. Returns the
// descriptor, or -1 with errno.
int OpenLocked(const std::string& name, int op);

// True when `name` still stands for the object open as `fd`.
bool StillNamed(int fd, const std::string& name);

// Removes `name` when the caller's descriptor `fd` can take LOCK_EX at
// once, that is when no other process holds any lock on it. Whatever lock
// `fd` held is gone either way (Linux drops it before it tries the new
// one): close `fd` next. True when removed.
bool RemoveIfAlone(int fd, const std::string& name);

}  // namespace zq::platform::detail
