// The reader simulator's server: its two Unix sockets (the HID interface as
// SOCK_SEQPACKET, one message per report; the control socket as a stream of
// lines), a single-threaded event loop over them with microsecond deadlines,
// and detaching as a daemon. Only zelquar-sim links it; the client's side is
// devices/sim_client.h.
//
// Results are Win32 numbers (win32_errors.h). Nothing here is thread-safe:
// one thread owns each object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zq::platform {

// The server side: one HID connection at a time (a second one is accepted
// and closed at once, like a device opened without sharing), any number of
// control connections.
class SimServer {
 public:
  enum class EventKind { kTimeout, kStop, kHidOpened, kHidRefused, kHidMessage, kHidClosed, kControlLine };
  struct Event {
    EventKind kind = EventKind::kTimeout;
    std::vector<uint8_t> data;  // kHidMessage
    int control = -1;           // kControlLine: whom to answer
    std::string line;           // kControlLine, without its newline
    int64_t atUs = -1;          // kHidMessage: when it reached the socket (MonotonicMicroseconds); -1 unknown
  };

  SimServer() = default;
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds both sockets (stale files of a dead server are replaced). SIGTERM
  // and SIGINT become kStop events from now on; SIGPIPE is ignored.
  uint32_t Start(const std::string& hidPath, const std::string& ctlPath);
  // Unplug and replug: drop the HID connection and listener and remove the
  // socket file; bind it again.
  void StopHid();
  uint32_t ListenHid();

  // Waits for the next event, at most until `deadlineUs` (MonotonicMicroseconds;
  // negative: no limit). Blocks; a deadline already past still looks at the
  // sockets once without waiting, so a caller that spins up to a due time
  // sees the host's messages as they come.
  Event Wait(int64_t deadlineUs);
  // Sends one message on the HID connection without blocking; false when
  // there is none or its queue is full (the message is lost, like a report
  // nobody reads).
  bool SendHid(const uint8_t* data, size_t length);
  void ReplyControl(int control, const std::string& line);
  // Closes everything and removes both socket files.
  void Shutdown();

 private:
  struct Control {
    int fd;
    std::string pending;
  };
  void CloseHidConnection();

  std::string hid_path_, ctl_path_;
  int signal_fd_ = -1;
  int hid_listen_ = -1;
  int hid_conn_ = -1;
  int ctl_listen_ = -1;
  std::vector<Control> controls_;
  std::deque<Event> events_;
};

// Detaching: DaemonStart forks. The parent waits until the child calls
// DaemonReady, prints the child's process id on standard output and gets 0,
// or gets 1 when the child ended first; it should then exit with that code.
// The child gets -1, runs in a new session, and after DaemonReady has its
// standard streams on /dev/null.
int DaemonStart();
void DaemonReady();

}  // namespace zq::platform
