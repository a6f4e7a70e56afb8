#include "platform/os/shared_section.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/os/access.h"
#include "platform/os/object_names.h"
#include "platform/os/shm_objects.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

using detail::FlockRetry;
using detail::FlockWithin;
using detail::OpenLocked;
using detail::OpenSharedObject;

uint64_t Fnv1a(std::string_view text, uint64_t seed) {
  uint64_t h = seed;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

void FailTo(uint32_t* lastError) { *lastError = Win32FromErrno(errno); }

SharedSection Refused(const std::string& name, int why) {
  SharedSection s;
  s.objectName = name;
  s.refused = true;
  s.error = why == ETIMEDOUT ? kErrorTimeout : kErrorAccessDenied;
  SetLastError(s.error);
  return s;
}

SharedSection PrivateSection(size_t size, uint32_t error) {
  SharedSection s;
  s.error = error;
  void* p = Sys().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  s.base = p == MAP_FAILED ? nullptr : p;
  s.size = s.base ? size : 0;
  s.first = true;
  s.shared = false;
  SetLastError(error);
  return s;
}

}  // namespace

std::string SharedSectionObjectName(std::string_view key, size_t size) {
  char hex[40];
  uint64_t h = Fnv1a(key, 0xcbf29ce484222325ull);
  h = Fnv1a(std::to_string(size), h);
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return SharedObjectName("sec", hex);
}

SharedSection AttachSharedSection(std::string_view key, size_t size, const SectionGateWork& underGate,
                                  int gateTimeoutMs) {
  const std::string name = SharedSectionObjectName(key, size);
  ClearRefusal();
  int gate = OpenLocked(name + ".gate", LOCK_EX, gateTimeoutMs);
  if (gate < 0) {
    const int why = errno;
    SharedSection s = why == ETIMEDOUT || why == EACCES ? Refused(name, why) : PrivateSection(size, Win32FromErrno(why));
    if (underGate) underGate(s);
    return s;
  }

  SharedSection s;
  s.objectName = name;
  uint32_t err = 0;
  bool refuse = false;
  int fd = OpenSharedObject(name);
  if (fd < 0) {
    refuse = errno == EACCES;
    FailTo(&err);
  } else if (FlockRetry(fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody else holds the section: whatever it holds is left over from
    // processes that died. Start from zeros.
    if (Sys().ftruncate(fd, 0) != 0 || Sys().ftruncate(fd, static_cast<off_t>(size)) != 0) FailTo(&err);
    FlockRetry(fd, LOCK_SH);
    s.first = true;
  } else if (errno == EWOULDBLOCK) {
    // Others hold it shared; only someone holding it exclusively for ever
    // (nobody of this system does beyond an instant) makes this wait end.
    if (FlockWithin(fd, LOCK_SH, gateTimeoutMs) != 0) {
      refuse = errno == ETIMEDOUT;
      FailTo(&err);
    } else if (JudgeOpenObject(fd, ObjectKind::kRegular, size) != Verdict::kTrusted) {
      refuse = true;
      err = kErrorAccessDenied;
    }
  } else {
    FailTo(&err);
  }
  if (err == 0) {
    void* p = Sys().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      FailTo(&err);
    } else {
      s.base = p;
      s.size = size;
      s.shared = true;
      s.handle = fd;
    }
  }
  if (err != 0) {
    // Nothing half-made stays in the system: an object nobody else holds
    // goes, and with it the gate (gates hold no state, and whoever waits
    // on a removed one opens the name anew). A refused object is not ours
    // to remove.
    const bool gone = !refuse && (fd < 0 || detail::RemoveIfAlone(fd, name));
    if (fd >= 0) ::close(fd);
    if (gone) ::shm_unlink((name + ".gate").c_str());
    s = refuse ? Refused(name, err == kErrorAccessDenied ? EACCES : ETIMEDOUT) : PrivateSection(size, err);
  }
  if (underGate) underGate(s);
  FlockRetry(gate, LOCK_UN);
  ::close(gate);
  return s;
}

void DetachSharedSection(SharedSection& section, bool unmap, const SectionGateWork& underGate, int gateTimeoutMs) {
  if (!section.shared || section.handle < 0) {
    if (underGate) underGate(section);
  } else {
    const std::string gateName = section.objectName + ".gate";
    int gate = OpenLocked(gateName, LOCK_EX, gateTimeoutMs);
    if (underGate) underGate(section);
    // Still alone after the others left (or died): the object and its gate
    // go with us, so /dev/shm does not collect dead sections. The gate goes
    // while we hold it; whoever waits on it then opens the name anew.
    // Without the gate nothing is removed: an attach may be under way.
    if (gate >= 0 && FlockRetry(section.handle, LOCK_EX | LOCK_NB) == 0) {
      ::shm_unlink(section.objectName.c_str());
      ::shm_unlink(gateName.c_str());
    }
    ::close(section.handle);
    section.handle = -1;
    if (gate >= 0) {
      FlockRetry(gate, LOCK_UN);
      ::close(gate);
    }
  }
  if (unmap && section.base) {
    ::munmap(section.base, section.size);
    section.base = nullptr;
    section.size = 0;
  }
}

bool SharedSectionInUse(std::string_view key, size_t size, int gateTimeoutMs) {
  const std::string name = SharedSectionObjectName(key, size);
  const int probe = Sys().shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (probe < 0) return false;  // nobody ever attached, or the last one removed it
  ::close(probe);
  const std::string gateName = name + ".gate";
  int gate = OpenLocked(gateName, LOCK_EX, gateTimeoutMs);
  if (gate < 0 && errno == ETIMEDOUT) return true;  // somebody holds it: somebody is there
  bool inUse = false;
  const int fd = Sys().shm_open(name.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    // The last user removed the section and its gate meanwhile: the gate
    // held now exists only for this look and goes again (whoever waits on
    // it opens the name anew).
    if (gate >= 0) ::shm_unlink(gateName.c_str());
  } else {
    if (FlockRetry(fd, LOCK_EX | LOCK_NB) == 0) {
      FlockRetry(fd, LOCK_UN);
    } else {
      inUse = errno == EWOULDBLOCK;
    }
    ::close(fd);
  }
  if (gate >= 0) {
    FlockRetry(gate, LOCK_UN);
    ::close(gate);
  }
  return inUse;
}

const void* InspectSharedSection(std::string_view key, size_t size) {
  const std::string name = SharedSectionObjectName(key, size);
  int fd = Sys().shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    SetLastError(Win32FromErrno(errno));
    return nullptr;
  }
  struct stat st {};
  const void* result = nullptr;
  if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == size) {
    void* p = Sys().mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) result = p;
  }
  ::close(fd);
  return result;
}

void UnmapInspectedSection(const void* base, size_t size) {
  if (base) ::munmap(const_cast<void*>(base), size);
}

}  // namespace zq::platform
