#include "platform/os/named_mutex.h"

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

#include "platform/os/access.h"
#include "platform/os/object_names.h"
#include "platform/os/shm_objects.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

constexpr uint32_t kReadyMagic = 0x5A514D58;  // "ZQMX"
using detail::kObjectLockTimeoutMs;

struct SharedMutexObject {
  std::atomic<uint32_t> ready;
  uint32_t reserved;
  pthread_mutex_t mutex;
};

// A mapped mutex object, the descriptor whose shared flock tells other
// processes this one uses it, and the handles of this process open on it.
struct CachedObject {
  SharedMutexObject* object;
  int fd;
  int handles;
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

// Maps the shared object of `name`, initialising it when nobody has. The
// shared flock taken on it tells other processes this one uses it, for as
// long as it caches it (a last user removes an object only while nobody
// holds one). Initialisation is serialised by a write lock on its first
// byte: a creator that dies half-way leaves the ready mark unset, so the
// next opener initialises.
bool MapObject(const std::string& name, CachedObject* out) {
  const std::string objName = SharedObjectName("mtx", name);
  int fd = detail::OpenLocked(objName, LOCK_SH, kObjectLockTimeoutMs);
  if (fd < 0 || !detail::LockInitialisation(fd, true, kObjectLockTimeoutMs)) {
    SetLastError(Win32FromErrno(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  SharedMutexObject* obj = nullptr;
  struct stat st {};
  int failure = 0;
  bool refused = false;
  if (::fstat(fd, &st) != 0) {
    failure = errno;
  } else if (st.st_size != 0 && static_cast<size_t>(st.st_size) != sizeof(SharedMutexObject)) {
    // Not a mutex object of this system: refused, and left alone.
    NoteRefusal(Verdict::kWrongSize);
    failure = EACCES;
    refused = true;
  } else if (st.st_size == 0 && Sys().ftruncate(fd, sizeof(SharedMutexObject)) != 0) {
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
  detail::LockInitialisation(fd, false, kObjectLockTimeoutMs);
  if (!obj) {
    // An object that could not be mapped is not left behind for nothing.
    if (!refused) (void)detail::RemoveIfAlone(fd, objName);
    ::close(fd);
    SetLastError(Win32FromErrno(failure));
    return false;
  }
  *out = CachedObject{obj, fd, 0};
  return true;
}

}  // namespace

struct NamedMutex {
  SharedMutexObject* object;
  uint32_t value;
  std::string name;  // the cache's key
};

NamedMutex* OpenNamedMutex(const char* name) {
  if (!name || !*name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto* handle = new (std::nothrow) NamedMutex{nullptr, g_nextHandleValue.fetch_add(4), name};
  if (!handle) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  MutexCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  auto it = cache.objects.find(name);
  if (it == cache.objects.end()) {
    CachedObject mapped{};
    if (!MapObject(name, &mapped)) {
      delete handle;
      return nullptr;
    }
    it = cache.objects.emplace(name, mapped).first;
  }
  it->second.handles += 1;
  handle->object = it->second.object;
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

void CloseNamedMutex(NamedMutex* mutex) {
  if (!mutex) return;
  {
    MutexCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.objects.find(mutex->name);
    if (it != cache.objects.end() && it->second.object == mutex->object) it->second.handles -= 1;
  }
  delete mutex;
}

uint32_t NamedMutexHandleValue(const NamedMutex* mutex) { return mutex ? mutex->value : 0; }

void LetGoOfNamedMutexes() {
  MutexCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  for (auto& [name, cached] : cache.objects) {
    detail::RemoveIfAlone(cached.fd, SharedObjectName("mtx", name));
    ::close(cached.fd);
    // A mapping no handle uses any more goes too, so a library loaded and
    // unloaded again and again keeps nothing of it. One still in use (a
    // thread of this process still inside) stays for the process's life.
    if (cached.handles == 0) ::munmap(cached.object, sizeof(SharedMutexObject));
  }
  cache.objects.clear();
}

}  // namespace zq::platform
