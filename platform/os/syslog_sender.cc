#include "platform/os/syslog_sender.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

constexpr int kFacilityUser = 1;

bool SendDatagram(const char* path, const std::string& text) {
  sockaddr_un addr{};
  const size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path, length + 1);
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  ssize_t n;
  do {
    n = Sys().sendto(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                 sizeof addr);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    SetLastError(n < 0 ? Win32FromErrno(err) : kErrorGenFailure);
    return false;
  }
  return true;
}

}  // namespace

bool SendToSystemLog(LogSeverity severity, const std::string& ident, const std::string& message) {
  const char* injected = std::getenv("ZELQUAR_SYSLOG_SOCKET");
  const bool redirected = injected && injected[0] != '\0';

  char stamp[32] = "";
  time_t now = ::time(nullptr);
  tm local{};
  if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s ", kFacilityUser * 8 + static_cast<int>(severity), stamp);
  std::string text = head;
  text += ident;
  text += '[';
  text += std::to_string(::getpid());
  text += "]: ";
  text += message;

  if (redirected) return SendDatagram(injected, text);
  if (SendDatagram("/dev/log", text)) return true;
  // No datagram socket at /dev/log (a stream-only or absent log daemon):
  // syslog(3) knows the other ways; the ident goes into the message.
  ::syslog(LOG_USER | static_cast<int>(severity), "%s: %s", ident.c_str(), message.c_str());
  return true;
}

}  // namespace zq::platform
