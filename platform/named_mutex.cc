#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/object_names.h"
#include "platform/shm_objects.h"
#include "platform/syscalls.h"
#include "platform/win32_errors.h"

namespace zq::platform {
namespace {

constexpr uint32_t kReadyMagic = 0x5A514D58;  // "ZQMX"

struct SharedMutexObject {
  std::atomic<uint32_t> ready;
  uint32_t reserved;
  pthread_mutex_t mutex;
};

// A mapped mutex object and the descriptor whose shared flock tells other
// processes this one uses it.
struct CachedObject {
  SharedMutexObject* object;
  int fd;
};

struct MutexCache {
  std::mutex lock;
  std::unordered_map<std::string, CachedObject> objects;
};

// Intentionally never destroyed: a mapping may be in use by another thread
// while the process exits, and a robust mutex must not be unmapped while a
// thread could still own it.
MutexCache& Cache() {
  static MutexCache* cache = new MutexCache;
  return *cache;
}

std::atomic<uint32_t> g_nextHandleValue{0x100};

bool InitialiseMutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutex_init(m, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// A write lock (fcntl, independent of flock) on the object's first byte:
// held while the object is initialised, released by the kernel when its
// holder dies.
bool LockForInitialisation(int fd, bool lock) {
  struct flock range {};
  range.l_type = lock ? F_WRLCK : F_UNLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, F_SETLKW, &range);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Maps the shared object of `name`, initialising it when nobody has. The
// shared flock taken on it tells other processes this one uses it, for as
// long as it caches it (a last user removes an object only while nobody
// holds one). Initialisation is serialised by a write lock on its first
// byte: a creator that dies half-way leaves the ready mark unset, so the
// next opener initialises.
bool MapObject(const std::string& name, CachedObject* out) {
  const std::string objName = SharedObjectName("mtx", name);
  int fd = detail::OpenLocked(objName, LOCK_SH);
  if (fd < 0 || !LockForInitialisation(fd, true)) {
    SetLastError(Win32FromErrno(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  SharedMutexObject* obj = nullptr;
  struct stat st {};
  int failure = 0;
  if (::fstat(fd, &st) != 0) {
    failure = errno;
  } else if (static_cast<size_t>(st.st_size) < sizeof(SharedMutexObject) &&
             Sys().ftruncate(fd, sizeof(SharedMutexObject)) != 0) {
    failure = errno;
  } else {
    void* p = Sys().mmap(nullptr, sizeof(SharedMutexObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      failure = errno;
    } else {
      obj = static_cast<SharedMutexObject*>(p);
      if (obj->ready.load(std::memory_order_acquire) != kReadyMagic) {
        if (!InitialiseMutex(&obj->mutex)) {
          failure = EINVAL;
          ::munmap(p, sizeof(SharedMutexObject));
          obj = nullptr;
        } else {
          obj->ready.store(kReadyMagic, std::memory_order_release);
        }
      }
    }
  }
  LockForInitialisation(fd, false);
  if (!obj) {
    // An object that could not be mapped is not left behind for nothing.
    (void)detail::RemoveIfAlone(fd, objName);
    ::close(fd);
    SetLastError(Win32FromErrno(failure));
    return false;
  }
  *out = CachedObject{obj, fd};
  return true;
}

}  // namespace

struct NamedMutex {
  SharedMutexObject* object;
  uint32_t value;
};

NamedMutex* OpenNamedMutex(const char* name) {
  if (!name || !*name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  SharedMutexObject* obj = nullptr;
  {
    MutexCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.objects.find(name);
    if (it != cache.objects.end()) {
      obj = it->second.object;
    } else {
      CachedObject mapped{};
      if (!MapObject(name, &mapped)) return nullptr;
      cache.objects.emplace(name, mapped);
      obj = mapped.object;
    }
  }
  auto* handle = new (std::nothrow) NamedMutex{obj, g_nextHandleValue.fetch_add(4)};
  if (!handle) SetLastError(kErrorNotEnoughMemory);
  return handle;
}

uint32_t WaitNamedMutex(NamedMutex* mutex, int32_t timeoutMs) {
  if (!mutex) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  int rc;
  if (timeoutMs < 0) {
    rc = pthread_mutex_lock(&mutex->object->mutex);
  } else {
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_clocklock(&mutex->object->mutex, CLOCK_MONOTONIC, &deadline);
  }
  switch (rc) {
    case 0:
      return kWaitObject0;
    case EOWNERDEAD:
      pthread_mutex_consistent(&mutex->object->mutex);
      return kWaitAbandoned;
    case ETIMEDOUT:
      return kWaitTimeout;
    default:
      SetLastError(Win32FromErrno(rc));
      return kWaitFailed;
  }
}

bool ReleaseNamedMutex(NamedMutex* mutex) {
  if (!mutex) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (pthread_mutex_unlock(&mutex->object->mutex) != 0) {
    SetLastError(kErrorNotOwner);
    return false;
  }
  return true;
}

void CloseNamedMutex(NamedMutex* mutex) { delete mutex; }

uint32_t NamedMutexHandleValue(const NamedMutex* mutex) { return mutex ? mutex->value : 0; }

void LetGoOfNamedMutexes() {
  MutexCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  for (auto& [name, cached] : cache.objects) {
    detail::RemoveIfAlone(cached.fd, SharedObjectName("mtx", name));
    ::close(cached.fd);
  }
  cache.objects.clear();
}

}  // namespace zq::platform
