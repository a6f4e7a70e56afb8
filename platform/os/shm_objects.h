// Internal to the platform layer: the POSIX shared-memory objects behind
// shared sections, named mutexes and named events.
//
// Objects are made for the reader's users only and an existing object is
// used only when it passes the access rules (platform/access.h). Every lock
// wait here has a bound, so a process that holds an object's lock for ever
// (stopped, stuck or hostile) cannot hang the others.
#pragma once

#include <string>

namespace zq::platform::detail {

// flock that resumes after signals; returns 0 or -1 with errno.
int FlockRetry(int fd, int op);

// Takes the flock `op` (LOCK_SH or LOCK_EX) within timeoutMs (< 0: no
// limit): 0, or -1 with errno (ETIMEDOUT when the bound passed). Sleeps in
// short steps while another process holds a conflicting lock.
int FlockWithin(int fd, int op, int timeoutMs);

// Opens or creates the shared-memory object `name` for reading and writing,
// close-on-exec. A new object gets the creation rules of access.h; an
// existing one must be a plain object that passes JudgeObject (its size is
// the caller's to check). Returns the descriptor, or -1 with errno (EACCES
// for an object refused by the rules or by the system; LastRefusal() tells
// which rule refused it).
int OpenSharedObject(const std::string& name);

// Opens or creates `name` and takes the flock `op` (LOCK_SH or LOCK_EX) on
// it within timeoutMs (< 0: no limit), such that the lock is on the object
// the name stands for when the call returns: an object removed by its last
// user while this call waited for its lock is let go and the name opened
// anew. Objects are removed (by RemoveIfAlone, or shm_unlink) only while
// their remover holds LOCK_EX, so once this returns the object stays named
// until this lock is dropped. Returns the descriptor, or -1 with errno
// (ETIMEDOUT when the bound passed).
int OpenLocked(const std::string& name, int op, int timeoutMs);

// True when `name` still stands for the object open as `fd`.
bool StillNamed(int fd, const std::string& name);

// Removes `name` when the caller's descriptor `fd` can take LOCK_EX at
// once, that is when no other process holds any lock on it. Whatever lock
// `fd` held is gone either way (Linux drops it before it tries the new
// one): close `fd` next. True when removed.
bool RemoveIfAlone(int fd, const std::string& name);

// Takes (lock true) or drops a write lock (fcntl, independent of flock) on
// the object's first byte, within timeoutMs: held while an object is
// initialised, and released by the kernel when its holder dies. False with
// errno (ETIMEDOUT when the bound passed).
bool LockInitialisation(int fd, bool lock, int timeoutMs);

// The bound on the brief object-level locks of an open (an object's flock
// and its initialisation lock), which nobody of this system holds longer
// than an instant.
inline constexpr int kObjectLockTimeoutMs = 10000;

// Milliseconds of a monotonic clock, for the bounds above.
long NowMs();

}  // namespace zq::platform::detail
