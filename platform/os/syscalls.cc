#include "platform/os/syscalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zq::platform {
namespace {

// open and shm_open take their mode as a variadic argument; the table's
// members take it always.
int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealShmOpen(const char* name, int flags, mode_t mode) { return ::shm_open(name, flags, mode); }

constexpr Syscalls kReal = {
    RealOpen, ::read,   ::write,   ::poll,    RealShmOpen, ::ftruncate, ::mmap,           ::flock,
    ::send,   ::sendto, ::recv,    ::recvmsg, ::accept4,   ::connect,   ::pthread_create, ::pipe2,
};

// Constant-initialised, so calls made from the library's ELF constructor
// (before C++ constructors run) already find the real calls.
Syscalls g_table = kReal;

// The table's members by name, as slots of the live and of the real table.
struct Member {
  std::string_view name;
  void** live;
  void* real;
};

template <typename F>
Member Entry(std::string_view name, F* live, F real) {
  return {name, reinterpret_cast<void**>(live), reinterpret_cast<void*>(real)};
}

Member Find(std::string_view name) {
  Syscalls& t = g_table;
  const Member all[] = {
      Entry("open", &t.open, kReal.open),
      Entry("read", &t.read, kReal.read),
      Entry("write", &t.write, kReal.write),
      Entry("poll", &t.poll, kReal.poll),
      Entry("shm_open", &t.shm_open, kReal.shm_open),
      Entry("ftruncate", &t.ftruncate, kReal.ftruncate),
      Entry("mmap", &t.mmap, kReal.mmap),
      Entry("flock", &t.flock, kReal.flock),
      Entry("send", &t.send, kReal.send),
      Entry("sendto", &t.sendto, kReal.sendto),
      Entry("recv", &t.recv, kReal.recv),
      Entry("recvmsg", &t.recvmsg, kReal.recvmsg),
      Entry("accept4", &t.accept4, kReal.accept4),
      Entry("connect", &t.connect, kReal.connect),
      Entry("pthread_create", &t.pthread_create, kReal.pthread_create),
      Entry("pipe2", &t.pipe2, kReal.pipe2),
  };
  for (const Member& m : all) {
    if (m.name == name) return m;
  }
  return {name, nullptr, nullptr};
}

}  // namespace

const Syscalls& Sys() { return g_table; }

void* SetSyscall(std::string_view name, void* fn) {
  const Member m = Find(name);
  if (!m.live) return nullptr;
  void* old = *m.live;
  *m.live = fn ? fn : m.real;
  return old;
}

void* GetSyscall(std::string_view name) {
  const Member m = Find(name);
  return m.live ? *m.live : nullptr;
}

void ResetSyscalls() { g_table = kReal; }

}  // namespace zq::platform
