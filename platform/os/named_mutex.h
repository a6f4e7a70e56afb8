// Named mutexes shared by every process of the object namespace, with the
// behaviour of a Windows named mutex: owned by a thread, recursive (the owner
// may take it again and must release it as often), and robust: a wait that
// finds the previous owner dead takes the mutex and reports kWaitAbandoned.
//
// Every open returns a handle of its own and every close releases it, as the
// callers pair them; the shared object behind a name is mapped once per
// process and stays mapped, so opening costs no system call after the first.
// A process that maps an object holds it (a shared flock) until it lets go
// of its mutexes; the last process to let go removes the object from the
// system, as Windows drops a mutex with its last handle.
#pragma once

#include <cstdint>

namespace zq::platform {

struct NamedMutex;

// Opens the mutex `name`, creating it (not owned) when it does not exist.
// Returns nullptr and sets LastError() when the shared object cannot be made.
// Blocks only briefly while another process initialises the same mutex.
// Thread-safe.
NamedMutex* OpenNamedMutex(const char* name);

// Waits for ownership: timeoutMs < 0 waits without limit. Returns
// kWaitObject0, kWaitAbandoned (taken; the previous owner ended without
// releasing it), kWaitTimeout, or kWaitFailed with LastError() set.
uint32_t WaitNamedMutex(NamedMutex* mutex, int32_t timeoutMs);

// Releases one level of ownership. False (LastError kErrorNotOwner) when the
// calling thread does not own it.
bool ReleaseNamedMutex(NamedMutex* mutex);

// Closes the handle (does not release ownership). nullptr is ignored.
void CloseNamedMutex(NamedMutex* mutex);

// A small number that names the handle in log lines, as a Windows handle value.
uint32_t NamedMutexHandleValue(const NamedMutex* mutex);

// Lets go of every mutex this process has opened: an object that no other
// process holds is removed from the system, so its name starts anew with its
// next user. Handles still open (a thread of this process still inside)
// keep working on what they had; the next open maps the name again. Call
// when the process is done with the mutexes (library detach), from one
// thread; blocks only briefly.
void LetGoOfNamedMutexes();

}  // namespace zq::platform
