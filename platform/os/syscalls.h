// The system calls of the platform layer, made through one table that tests
// can replace to make a call fail as the hardware and the kernel rarely do on
// demand: a disk that is full (ENOSPC) or fails (EIO), a signal that breaks a
// blocking call (EINTR), a full socket queue (EAGAIN), a mapping or a thread
// that cannot be had.
//
// Every platform .cc that makes one of these calls makes it as
// `Sys().write(...)`: one load and one indirect call, no lock. Only the calls
// that can fail in a way the caller must handle are here, one member per
// call; the rest (close, fstat, ioctl on a descriptor already checked, ...)
// are made directly.
//
// Contract:
// - Sys() never fails and never blocks. The table starts as the real calls.
// - SetSyscall replaces one member and returns the one it replaced (so a test
//   can call through to it and put it back); nullptr as `fn` puts back the
//   real call. SetSyscall returns nullptr for an unknown name. ResetSyscalls
//   puts back every real call.
// - Thread safety: the table is plain memory. Replace members only while no
//   other thread of the process makes platform calls (a test before and
//   after its scenario, with the threads it started ended).
// - Calls made in a child between fork and exec do not go through the table.
// - Each library that carries the platform layer (the driver, the comm
//   library, a test program linking it statically) has its own table.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace zq::platform {

struct Syscalls {
  // Files and devices.
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buf, size_t count);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  int (*poll)(struct pollfd* fds, nfds_t nfds, int timeoutMs);
  // Shared memory and its locks.
  int (*shm_open)(const char* name, int flags, mode_t mode);
  int (*ftruncate)(int fd, off_t length);
  void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
  int (*flock)(int fd, int operation);
  // Sockets (mailslot, system log, simulator, TCP/IP).
  ssize_t (*send)(int fd, const void* buf, size_t length, int flags);
  ssize_t (*sendto)(int fd, const void* buf, size_t length, int flags, const struct sockaddr* to, socklen_t toLength);
  ssize_t (*recv)(int fd, void* buf, size_t length, int flags);
  ssize_t (*recvmsg)(int fd, struct msghdr* message, int flags);
  int (*accept4)(int fd, struct sockaddr* addr, socklen_t* addrLength, int flags);
  int (*connect)(int fd, const struct sockaddr* addr, socklen_t addrLength);
  // Threads and pipes.
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);
  int (*pipe2)(int fds[2], int flags);
};

// The table in use.
const Syscalls& Sys();

// Replaces the member called `name` ("write", "mmap", ...) with `fn` (a
// pointer of that member's type, cast to void*), or puts the real call back
// when `fn` is nullptr. Returns the member it replaced, or nullptr when no
// member has that name.
void* SetSyscall(std::string_view name, void* fn);
// The member called `name` as it stands now; nullptr for an unknown name.
void* GetSyscall(std::string_view name);
// Puts back every real call.
void ResetSyscalls();

}  // namespace zq::platform
