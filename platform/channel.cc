// Sections: pipes; stop requests; events; threads.
#include "platform/channel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/win32_errors.h"

namespace zq::platform {

// ---- pipes ----------------------------------------------------------------

struct PipeEnd {
  int fd;
};

bool CreatePipe(size_t minCapacity, PipeEnd** readEnd, PipeEnd** writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  // A whole message is written before the reader is told to look, so the
  // pipe must hold the largest one or both sides would wait forever.
  if (minCapacity > 0 && ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(minCapacity)) < 0) {
    SetLastError(Win32FromErrno(errno));
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  *readEnd = new PipeEnd{fds[0]};
  *writeEnd = new PipeEnd{fds[1]};
  return true;
}

bool WriteWhole(PipeEnd* end, const void* data, size_t length) {
  if (!end) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(end->fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno == EPIPE ? kErrorBrokenPipe : Win32FromErrno(errno));
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadWhole(PipeEnd* end, void* data, size_t length) {
  if (!end) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  auto* p = static_cast<char*>(data);
  while (length > 0) {
    ssize_t n = ::read(end->fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n == 0 ? kErrorBrokenPipe : Win32FromErrno(errno));
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

long BytesAvailable(PipeEnd* end) {
  int n = 0;
  if (!end) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  if (::ioctl(end->fd, FIONREAD, &n) != 0) {
    SetLastError(Win32FromErrno(errno));
    return -1;
  }
  return n;
}

void ClosePipeEnd(PipeEnd* end) {
  if (!end) return;
  ::close(end->fd);
  delete end;
}

uint32_t PipeHandleValue(const PipeEnd* end) { return end ? static_cast<uint32_t>(end->fd) : 0; }

// ---- stop requests ----------------------------------------------------------

struct Event {
  std::mutex mutex;
  std::condition_variable cv;
  bool manualReset;
  bool set;
  // A handle closed while a thread still waits on it ends that wait; the
  // last waiter out frees the object.
  bool closed = false;
  int waiters = 0;
};

struct Thread {
  std::thread thread;
  std::atomic<uint32_t> exitCode{kErrorStillActive};
  std::atomic<bool> stop{false};
  std::mutex waitLock;          // guards waitingOn
  Event* waitingOn = nullptr;   // the event the thread waits on now
  std::mutex sleepLock;
  std::condition_variable sleepCv;
  // Shared with the running thread, so a detached thread can still finish.
};

namespace {

thread_local Thread* t_self = nullptr;

// Registers the calling thread's current wait, so StopThread can wake it.
class WaitRegistration {
 public:
  explicit WaitRegistration(Event* event) {
    if (!t_self) return;
    std::lock_guard<std::mutex> g(t_self->waitLock);
    t_self->waitingOn = event;
  }
  ~WaitRegistration() {
    if (!t_self) return;
    std::lock_guard<std::mutex> g(t_self->waitLock);
    t_self->waitingOn = nullptr;
  }
};

}  // namespace

bool StopRequested() { return t_self && t_self->stop.load(); }

bool SleepUnlessStopped(uint32_t ms) {
  if (!t_self) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  std::unique_lock<std::mutex> lock(t_self->sleepLock);
  return !t_self->sleepCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return t_self->stop.load(); });
}

// ---- events ---------------------------------------------------------------

Event* CreateEvent(bool manualReset, bool initiallySet) {
  auto* e = new (std::nothrow) Event;
  if (!e) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  e->manualReset = manualReset;
  e->set = initiallySet;
  return e;
}

void SetEvent(Event* event) {
  if (!event) return;
  {
    std::lock_guard<std::mutex> g(event->mutex);
    event->set = true;
  }
  if (event->manualReset) {
    event->cv.notify_all();
  } else {
    event->cv.notify_one();
  }
}

void ResetEvent(Event* event) {
  if (!event) return;
  std::lock_guard<std::mutex> g(event->mutex);
  event->set = false;
}

bool EventIsSet(const Event* event) {
  if (!event) return false;
  std::lock_guard<std::mutex> g(const_cast<Event*>(event)->mutex);
  return event->set;
}

uint32_t WaitForEvent(Event* event, int32_t timeoutMs) {
  if (!event) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  WaitRegistration registration(event);
  std::unique_lock<std::mutex> lock(event->mutex);
  if (event->closed) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  ++event->waiters;
  auto ready = [&] { return event->set || event->closed || StopRequested(); };
  bool signalled = true;
  if (timeoutMs < 0) {
    event->cv.wait(lock, ready);
  } else {
    signalled = event->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }
  --event->waiters;
  uint32_t result;
  if (event->closed) {
    SetLastError(kErrorInvalidHandle);
    result = kWaitFailed;
  } else if (!signalled) {
    result = kWaitTimeout;
  } else if (!event->set) {
    SetLastError(kErrorOperationAborted);
    result = kWaitFailed;
  } else {
    if (!event->manualReset) event->set = false;
    result = kWaitObject0;
  }
  const bool lastOut = event->closed && event->waiters == 0;
  lock.unlock();
  if (lastOut) delete event;
  return result;
}

void CloseEvent(Event* event) {
  if (!event) return;
  std::unique_lock<std::mutex> lock(event->mutex);
  event->closed = true;
  event->cv.notify_all();
  const bool unused = event->waiters == 0;
  lock.unlock();
  if (unused) delete event;
}

uint32_t EventHandleValue(const Event* event) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
}

// ---- threads --------------------------------------------------------------

namespace {

struct Start {
  Thread* self;
  uint32_t (*procedure)(void*);
  void* argument;
};

}  // namespace

Thread* StartThread(uint32_t (*procedure)(void*), void* argument) {
  if (!procedure) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* t = new (std::nothrow) Thread;
  if (!t) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  try {
    t->thread = std::thread([start = Start{t, procedure, argument}] {
      t_self = start.self;
      start.self->exitCode.store(start.procedure(start.argument));
    });
  } catch (...) {
    delete t;
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  return t;
}

bool ThreadExitCode(const Thread* thread, uint32_t* code) {
  if (!thread || !code) return false;
  *code = thread->exitCode.load();
  return true;
}

bool StopThread(Thread* thread, uint32_t boundMs) {
  if (!thread) return true;
  thread->stop.store(true);
  Event* waiting = nullptr;
  {
    std::lock_guard<std::mutex> g(thread->waitLock);
    waiting = thread->waitingOn;
    // Wake it under the event's lock, so it cannot miss the request between
    // its check and its sleep.
    if (waiting) {
      std::lock_guard<std::mutex> e(waiting->mutex);
      waiting->cv.notify_all();
    }
  }
  {
    std::lock_guard<std::mutex> g(thread->sleepLock);
    thread->sleepCv.notify_all();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (thread->exitCode.load() == kErrorStillActive) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void CloseThread(Thread* thread) {
  if (!thread) return;
  if (thread->exitCode.load() != kErrorStillActive) {
    if (thread->thread.joinable()) thread->thread.join();
    delete thread;
    return;
  }
  // Still running: it goes on alone and its record is never freed, as the
  // thread may still touch it.
  thread->thread.detach();
}

uint32_t ThreadHandleValue(const Thread* thread) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thread));
}

}  // namespace zq::platform
