// Per-thread bookkeeping that a library needs because Linux, unlike the
// Windows loader, does not tell a library when threads start and end.
#pragma once

namespace zq::platform {

// Arranges for `onExit` to run on every thread marked with MarkCurrentThread
// when that thread ends (not on threads that end unmarked). Install once,
// before any mark; returns false when the system has no room for the hook.
// Unlike a C++ thread_local destructor, the hook never keeps a dlopen'ed
// library from being unloaded.
bool InstallThreadExitHook(void (*onExit)());

// Removes the hook: threads still running get no call. Call before the code
// of `onExit` goes away (library unload).
void RemoveThreadExitHook();

// Marks the calling thread; true the first time for this thread, false when
// it was already marked or no hook is installed. Never blocks.
bool MarkCurrentThread();

// Removes the calling thread's mark, so the hook does not run when it ends;
// true when it was marked. Never blocks.
bool UnmarkCurrentThread();

}  // namespace zq::platform
