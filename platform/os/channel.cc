// Sections: pipes; events; SyncEvent.
#include "platform/os/channel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/os/stop_wake.h"
#include "platform/os/syscalls.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

// ---- pipes ----------------------------------------------------------------

struct PipeEnd {
  int fd;
};

bool CreatePipe(size_t minCapacity, PipeEnd** readEnd, PipeEnd** writeEnd) {
  int fds[2];
  if (Sys().pipe2(fds, O_CLOEXEC) != 0) {
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
    ssize_t n = Sys().write(end->fd, p, length);
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
    ssize_t n = Sys().read(end->fd, p, length);
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

// ---- events ---------------------------------------------------------------

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
  uint32_t result;
  bool lastOut;
  {
    // Gone before the event may be: the last waiter out of a closed event
    // frees it.
    StopWakeRegistration stopWakes(event->mutex, event->cv);
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
    lastOut = event->closed && event->waiters == 0;
  }
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

// ---- SyncEvent ------------------------------------------------------------------------

SyncEvent::SyncEvent(bool manualReset, bool initiallySet) : event_(CreateEvent(manualReset, initiallySet)) {}

SyncEvent::~SyncEvent() { CloseEvent(event_); }

void SyncEvent::Set() { SetEvent(event_); }

void SyncEvent::Reset() { ResetEvent(event_); }

bool SyncEvent::IsSet() const { return EventIsSet(event_); }

uint32_t SyncEvent::Wait(int32_t timeoutMs) { return WaitForEvent(event_, timeoutMs); }

}  // namespace zq::platform
