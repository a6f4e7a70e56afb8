// Sections: the simulator's directory; the HID interface's client; control
// requests.
#include "platform/devices/sim_client.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/os/access.h"
#include "platform/os/clock.h"
#include "platform/os/local_socket.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

// The Win32 number of the errno of the call that just failed.
uint32_t Fail() { return Win32FromErrno(errno); }

}  // namespace

// ---- the simulator's directory ---------------------------------------------

std::string SimulatorDirectory(const std::string& explicitDir) {
  if (!explicitDir.empty()) return explicitDir;
  if (const char* d = std::getenv("ZELQUAR_SIM_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/zelquar-sim";
  return "/tmp/zelquar-sim-" + std::to_string(::getuid());
}

uint32_t CheckSimulatorDirectory(const std::string& path) {
  int err = 0;
  const Verdict v = CheckDirectory(path, false, false, &err);
  if (err != 0) return err == ELOOP ? kErrorAccessDenied : Win32FromErrno(err);
  if (v != Verdict::kTrusted) {
    NoteRefusal(v);
    return kErrorAccessDenied;
  }
  return 0;
}

uint32_t MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Fail();
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail();
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  return CheckSimulatorDirectory(path);
}

// ---- the HID interface's client and control requests ------------------------

SeqpacketClient::~SeqpacketClient() { Close(); }

uint32_t SeqpacketClient::Connect(const std::string& path) {
  Close();
  uint32_t e = 0;
  fd_ = ConnectLocal(path, LocalSocketType::kSeqpacket, &e);
  return e;
}

uint32_t SeqpacketClient::Send(const uint8_t* data, size_t length) {
  if (fd_ < 0) return kErrorInvalidHandle;
  for (;;) {
    ssize_t n = Sys().send(fd_, data, length, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(length)) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) return kErrorDeviceNotConnected;
    return Fail();
  }
}

long SeqpacketClient::Receive(uint8_t* buffer, size_t capacity, int timeoutMs) {
  if (fd_ < 0) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  int r = WaitLocal(fd_, kLocalReadable, timeoutMs);
  if (r == 0) return 0;
  if (r < 0) {
    SetLastError(Fail());
    return -1;
  }
  ssize_t n;
  do {
    n = Sys().recv(fd_, buffer, capacity, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  SetLastError(n == 0 ? kErrorDeviceNotConnected : Fail());
  return -1;
}

void SeqpacketClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint32_t ControlRequest(const std::string& ctlPath, const std::string& line, std::string* reply, int timeoutMs) {
  uint32_t e = 0;
  int fd = ConnectLocal(ctlPath, LocalSocketType::kStream, &e);
  if (fd < 0) return e;
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = Sys().send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      e = n < 0 ? Fail() : kErrorBrokenPipe;
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(n);
  }
  reply->clear();
  int64_t end = MonotonicMicroseconds() + int64_t{timeoutMs} * 1000;
  for (;;) {
    int left = static_cast<int>((end - MonotonicMicroseconds()) / 1000);
    if (left < 0 || WaitLocal(fd, kLocalReadable, left) <= 0) {
      ::close(fd);
      return kErrorTimeout;
    }
    char buf[4096];
    ssize_t n = Sys().recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0 ? kErrorBrokenPipe : Fail();
    }
    reply->append(buf, static_cast<size_t>(n));
    size_t nl = reply->find('\n');
    if (nl != std::string::npos) {
      reply->resize(nl);
      ::close(fd);
      return 0;
    }
  }
}

}  // namespace zq::platform
