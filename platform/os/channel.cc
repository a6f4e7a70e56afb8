// Sections: pipes; events; SyncEvent.
#include "platform/os/channel.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "platform/os/stop_wake.h"
#include "platform/os/syscalls.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

// ---- pipes ----------------------------------------------------------------

// A read end keeps what one read() brought beyond the bytes asked for: a
// message's head and body then cost one system call, not two. One reader
// at a time (the channel's framing needs that anyway); `held` may be
// looked at from other threads.
struct PipeEnd {
  static constexpr uint32_t kAreaSize = 4096;
  int fd;
  std::unique_ptr<uint8_t[]> area;  // made by the first read
  uint32_t start = 0;
  std::atomic<uint32_t> held{0};
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
  *readEnd = new PipeEnd;
  (*readEnd)->fd = fds[0];
  *writeEnd = new PipeEnd;
  (*writeEnd)->fd = fds[1];
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
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    if (const uint32_t held = end->held.load(std::memory_order_relaxed); held > 0) {
      const uint32_t n = length < held ? static_cast<uint32_t>(length) : held;
      std::memcpy(p, end->area.get() + end->start, n);
      end->start += n;
      end->held.store(held - n, std::memory_order_relaxed);
      p += n;
      length -= n;
      continue;
    }
    // Short reads go through the area, which takes whatever the pipe holds
    // (a read returns what is there, never waiting for more); long ones
    // straight into the caller's buffer.
    const bool direct = length >= PipeEnd::kAreaSize;
    if (!direct && !end->area) {
      end->area.reset(new (std::nothrow) uint8_t[PipeEnd::kAreaSize]);
      if (!end->area) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
      }
    }
    uint8_t* into = direct ? p : end->area.get();
    ssize_t n = Sys().read(end->fd, into, direct ? length : PipeEnd::kAreaSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n == 0 ? kErrorBrokenPipe : Win32FromErrno(errno));
      return false;
    }
    if (direct) {
      p += n;
      length -= static_cast<size_t>(n);
    } else {
      end->start = 0;
      end->held.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
    }
  }
  return true;
}

long BytesAvailable(PipeEnd* end) {
  int n = 0;
  if (!end) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  if (const uint32_t held = end->held.load(std::memory_order_relaxed); held > 0) n = static_cast<int>(held);
  int inPipe = 0;
  if (::ioctl(end->fd, FIONREAD, &inPipe) != 0) {
    SetLastError(Win32FromErrno(errno));
    return -1;
  }
  return static_cast<long>(n) + inPipe;
}

void ClosePipeEnd(PipeEnd* end) {
  if (!end) return;
  ::close(end->fd);
  delete end;
}

uint32_t PipeHandleValue(const PipeEnd* end) { return end ? static_cast<uint32_t>(end->fd) : 0; }

// ---- events ---------------------------------------------------------------

// A futex word: bit 0 is the signal, the bits above count every change
// (set, close, a stop request), so a waiter that looked before one cannot
// sleep through it. Waits take no lock: a condition variable's wait
// reacquires its mutex as if contended, a system call more on every wake
// of every channel.
struct Event {
  std::atomic<uint32_t> word{0};
  std::atomic<bool> closed{false};
  // The handle's reference and one for each thread inside a wait: the
  // last one out frees the object, so a handle closed under a waiter is
  // safe; more than one on an open handle means somebody waits.
  std::atomic<int> references{1};
  bool manualReset = false;
};

namespace {

constexpr uint32_t kEventSignal = 1;
constexpr uint32_t kEventChange = 2;

void FutexWake(std::atomic<uint32_t>* word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Sleeps while *word == seen, at most `relative` (null: no limit). Returns
// on a wake, a change, a signal or the timeout alike: the caller looks again.
void FutexWait(std::atomic<uint32_t>* word, uint32_t seen, const timespec* relative) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, seen, relative, nullptr, 0);
}

// Counts a change and wakes every waiter (close, stop request).
void WakeAll(void* arg) {
  auto* e = static_cast<Event*>(arg);
  e->word.fetch_add(kEventChange);
  FutexWake(&e->word, INT32_MAX);
}

void Release(Event* e) {
  if (e->references.fetch_sub(1) == 1) delete e;
}

}  // namespace

Event* CreateEvent(bool manualReset, bool initiallySet) {
  auto* e = new (std::nothrow) Event;
  if (!e) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  e->manualReset = manualReset;
  e->word.store(initiallySet ? kEventSignal : 0);
  return e;
}

void SetEvent(Event* event) {
  if (!event) return;
  uint32_t w = event->word.load();
  while (!event->word.compare_exchange_weak(w, (w + kEventChange) | kEventSignal)) {
  }
  // Nobody waits: no system call. A waiter counts itself before it looks
  // at the word, so one of the two sees the other.
  if (event->references.load() > 1) FutexWake(&event->word, event->manualReset ? INT32_MAX : 1);
}

void ResetEvent(Event* event) {
  if (!event) return;
  event->word.fetch_and(~kEventSignal);
}

bool EventIsSet(const Event* event) { return event && (event->word.load() & kEventSignal) != 0; }

uint32_t WaitForEvent(Event* event, int32_t timeoutMs) {
  if (!event) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  if (event->closed.load()) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  event->references.fetch_add(1);
  uint32_t result = kWaitFailed;
  {
    StopWakeRegistration stopWakes(&WakeAll, event);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
      uint32_t w = event->word.load();
      if (event->closed.load()) {
        SetLastError(kErrorInvalidHandle);
        break;
      }
      if (w & kEventSignal) {
        // An auto-reset event goes to one waiter: the one whose exchange
        // takes the signal away.
        if (event->manualReset || event->word.compare_exchange_strong(w, (w + kEventChange) & ~kEventSignal)) {
          result = kWaitObject0;
          break;
        }
        continue;
      }
      if (StopRequested()) {
        SetLastError(kErrorOperationAborted);
        break;
      }
      if (timeoutMs < 0) {
        FutexWait(&event->word, w, nullptr);
        continue;
      }
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        result = kWaitTimeout;
        break;
      }
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec relative{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      FutexWait(&event->word, w, &relative);
    }
  }
  Release(event);
  return result;
}

void CloseEvent(Event* event) {
  if (!event) return;
  event->closed.store(true);
  WakeAll(event);
  Release(event);
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
