// Unix-domain sockets on a path: the listening and the connecting end, and a
// wait for one socket that survives signals. The simulator's devices and its
// control channel are built on them (devices/sim_client.h, sim_server/).
//
// Results are Win32 numbers (win32_errors.h). Thread-safe: each call works
// only on the descriptors it is given.
#pragma once

#include <cstdint>
#include <string>

namespace zq::platform {

// Socket types of the calls below.
enum class LocalSocketType {
  kStream,     // a stream of bytes (SOCK_STREAM)
  kSeqpacket,  // one message per send, boundaries kept (SOCK_SEQPACKET)
};

// Binds and listens on `path` (a file left by a dead server is replaced);
// the descriptor is non-blocking and closed on exec. The descriptor, or -1
// with *error the Win32 error (kErrorFilenameExceedRange for a path longer
// than a socket address holds). Never blocks.
int ListenLocal(const std::string& path, LocalSocketType type, uint32_t* error);

// Connects to `path`: the (blocking) descriptor, or -1 with *error
// kErrorFileNotFound when nobody listens there, or another Win32 error.
// Blocks only for the connect.
int ConnectLocal(const std::string& path, LocalSocketType type, uint32_t* error);

// Poll events of WaitLocal.
inline constexpr short kLocalReadable = 0x001;  // POLLIN
inline constexpr short kLocalWritable = 0x004;  // POLLOUT

// Waits at most timeoutMs (negative: no limit) until `fd` has one of
// `events`: its returned events (non-zero), 0 when the time ran out, -1 on
// an error. Signals do not shorten the wait. Blocks.
int WaitLocal(int fd, short events, int timeoutMs);

// Closes a descriptor of the calls above (negative: nothing). Never blocks.
void CloseLocal(int fd);

}  // namespace zq::platform
