#include "platform/devices/comm_sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>

#include "platform/os/access.h"
#include "platform/os/object_names.h"
#include "platform/os/shm_objects.h"
#include "platform/os/syscalls.h"
#include "platform/os/syslog_sender.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

timespec MonotonicDeadline(int32_t timeoutMs) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += timeoutMs / 1000;
  t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

}  // namespace

// ---- TimedMutex -------------------------------------------------------------------

struct TimedMutex::Impl {
  pthread_mutex_t mutex;
};

TimedMutex::TimedMutex() : impl_(new (std::nothrow) Impl) {
  if (!impl_) return;
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return;
  ok_ = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 && pthread_mutex_init(&impl_->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
}

TimedMutex::~TimedMutex() {
  if (ok_) pthread_mutex_destroy(&impl_->mutex);
}

uint32_t TimedMutex::Wait(int32_t timeoutMs) {
  if (!ok_) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  int rc;
  if (timeoutMs < 0) {
    rc = pthread_mutex_lock(&impl_->mutex);
  } else {
    timespec deadline = MonotonicDeadline(timeoutMs);
    rc = pthread_mutex_clocklock(&impl_->mutex, CLOCK_MONOTONIC, &deadline);
  }
  if (rc == 0) return kWaitObject0;
  if (rc == ETIMEDOUT) return kWaitTimeout;
  SetLastError(Win32FromErrno(rc));
  return kWaitFailed;
}

bool TimedMutex::Release() {
  if (!ok_ || pthread_mutex_unlock(&impl_->mutex) != 0) {
    SetLastError(kErrorNotOwner);
    return false;
  }
  return true;
}

// ---- NamedEvent -----------------------------------------------------------------------

namespace {

constexpr uint32_t kEventReadyMagic = 0x5A514556;  // "ZQEV"

struct SharedEventObject {
  std::atomic<uint32_t> ready;
  uint32_t set;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

bool InitialiseSharedEvent(SharedEventObject* e) {
  pthread_mutexattr_t ma;
  pthread_condattr_t ca;
  if (pthread_mutexattr_init(&ma) != 0) return false;
  if (pthread_condattr_init(&ca) != 0) {
    pthread_mutexattr_destroy(&ma);
    return false;
  }
  bool ok = pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_condattr_setclock(&ca, CLOCK_MONOTONIC) == 0 && pthread_mutex_init(&e->mutex, &ma) == 0 &&
            pthread_cond_init(&e->cond, &ca) == 0;
  pthread_condattr_destroy(&ca);
  pthread_mutexattr_destroy(&ma);
  e->set = 0;
  return ok;
}

// Locks the event's mutex; a holder that died left the flag consistent
// (it is one word), so the lock is simply repaired.
bool LockShared(SharedEventObject* e) {
  int rc = pthread_mutex_lock(&e->mutex);
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&e->mutex);
    return true;
  }
  return rc == 0;
}

}  // namespace

// A handle keeps its object mapped and holds a shared flock on it, so the
// object stays named while any process has it open; the last handle to
// close removes it, as Windows drops an event with its last handle.
struct NamedEvent {
  SharedEventObject* object;
  int fd;
  std::string objectName;
};

NamedEvent* OpenNamedEvent(const std::string& name) {
  const std::string objName = SharedObjectName("evt", name);
  int fd = detail::OpenLocked(objName, LOCK_SH, detail::kObjectLockTimeoutMs);
  if (fd < 0 || !detail::LockInitialisation(fd, true, detail::kObjectLockTimeoutMs)) {
    SetLastError(Win32FromErrno(errno));
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  SharedEventObject* obj = nullptr;
  int failure = 0;
  bool refused = false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    failure = errno;
  } else if (st.st_size != 0 && static_cast<size_t>(st.st_size) != sizeof(SharedEventObject)) {
    // Not an event object of this system: refused, and left alone.
    NoteRefusal(Verdict::kWrongSize);
    failure = EACCES;
    refused = true;
  } else if (st.st_size == 0 && Sys().ftruncate(fd, sizeof(SharedEventObject)) != 0) {
    failure = errno;
  } else {
    void* p = Sys().mmap(nullptr, sizeof(SharedEventObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      failure = errno;
    } else {
      obj = static_cast<SharedEventObject*>(p);
      if (obj->ready.load(std::memory_order_acquire) != kEventReadyMagic) {
        if (InitialiseSharedEvent(obj)) {
          obj->ready.store(kEventReadyMagic, std::memory_order_release);
        } else {
          ::munmap(p, sizeof(SharedEventObject));
          obj = nullptr;
          failure = EINVAL;
        }
      }
    }
  }
  detail::LockInitialisation(fd, false, detail::kObjectLockTimeoutMs);
  NamedEvent* handle = obj ? new (std::nothrow) NamedEvent{obj, fd, objName} : nullptr;
  if (!handle) {
    if (obj) ::munmap(obj, sizeof(SharedEventObject));
    if (!refused) (void)detail::RemoveIfAlone(fd, objName);
    ::close(fd);
    SetLastError(obj ? kErrorNotEnoughMemory : Win32FromErrno(failure));
  }
  return handle;
}

bool SetNamedEvent(NamedEvent* event) {
  if (!event || !LockShared(event->object)) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  event->object->set = 1;
  pthread_cond_broadcast(&event->object->cond);
  pthread_mutex_unlock(&event->object->mutex);
  return true;
}

bool ResetNamedEvent(NamedEvent* event) {
  if (!event || !LockShared(event->object)) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  event->object->set = 0;
  pthread_mutex_unlock(&event->object->mutex);
  return true;
}

uint32_t WaitNamedEvent(NamedEvent* event, int32_t timeoutMs) {
  if (!event || !LockShared(event->object)) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  SharedEventObject* e = event->object;
  timespec deadline = MonotonicDeadline(timeoutMs < 0 ? 0 : timeoutMs);
  uint32_t result = kWaitObject0;
  while (!e->set) {
    int rc = timeoutMs < 0 ? pthread_cond_wait(&e->cond, &e->mutex) : pthread_cond_timedwait(&e->cond, &e->mutex, &deadline);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&e->mutex);
    if (rc == ETIMEDOUT) {
      result = e->set ? kWaitObject0 : kWaitTimeout;
      break;
    }
  }
  pthread_mutex_unlock(&e->mutex);
  return result;
}

void CloseNamedEvent(NamedEvent* event) {
  if (!event) return;
  ::munmap(event->object, sizeof(SharedEventObject));
  (void)detail::RemoveIfAlone(event->fd, event->objectName);
  ::close(event->fd);
  delete event;
}

// ---- EventSource -------------------------------------------------------------------------

struct EventSource {
  std::string name;
};

EventSource* RegisterEventSource(const std::string& sourceName) {
  if (sourceName.empty()) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* s = new (std::nothrow) EventSource{sourceName};
  if (!s) SetLastError(kErrorNotEnoughMemory);
  return s;
}

bool ReportEvent(EventSource* source, EventType type, uint16_t category, uint32_t eventId,
                 const std::vector<std::string>& strings, const void* data, size_t dataLength) {
  if (!source) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  char head[96];
  std::snprintf(head, sizeof head, "event 0x%08X type %u category %u", eventId, static_cast<unsigned>(type),
                static_cast<unsigned>(category));
  std::string text = head;
  for (const std::string& s : strings) {
    text += " \"";
    text += s;
    text += '"';
  }
  if (data && dataLength > 0) {
    text += " data";
    const auto* b = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < dataLength; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", b[i]);
      text += hex;
    }
  }
  const LogSeverity severity = type == EventType::kError     ? LogSeverity::kError
                               : type == EventType::kWarning ? LogSeverity::kWarning
                                                             : LogSeverity::kInformation;
  return SendToSystemLog(severity, source->name, text);
}

void DeregisterEventSource(EventSource* source) { delete source; }

}  // namespace zq::platform
