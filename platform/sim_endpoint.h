// What the reader simulator program needs from the system: its directory,
// its published files, its two Unix sockets (the HID interface as
// SOCK_SEQPACKET, one message per report; the control socket as a stream of
// lines), a single-threaded event loop over them with microsecond deadlines,
// detaching as a daemon, and the client ends used by `zelquar-sim ctl` and
// by tests.
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

// The simulator's directory: `explicitDir` when not empty, else
// $ZELQUAR_SIM_DIR, else $XDG_RUNTIME_DIR/zelquar-sim, else
// /tmp/zelquar-sim-<uid>. Never blocks.
std::string SimulatorDirectory(const std::string& explicitDir);

// Whether the simulator's directory `path` may be used: 0 when it belongs
// to this user or root and nobody else may write it (access.h:
// JudgeDirectory), kErrorAccessDenied when it is refused (another user made
// it first, or it is open to others: its devices could be anybody's), or
// the Win32 error of the look-up (kErrorFileNotFound when it is absent).
// Never blocks beyond the file system.
uint32_t CheckSimulatorDirectory(const std::string& path);

// Creates `path` and its missing parents (mode 0700), then checks the
// directory as CheckSimulatorDirectory does. 0 or a Win32 error
// (kErrorAccessDenied for a directory that is refused).
uint32_t MakeDirectories(const std::string& path);
// Writes `content` through a temporary file and a rename: a reader sees the
// whole file or none. 0 or a Win32 error.
uint32_t WriteFileAtomically(const std::string& path, const std::string& content);
// Reads a regular file of at most `maxBytes` bytes whole. 0; kErrorBadFileType
// for anything but a regular file (a FIFO, /dev/zero, a directory: refused
// without waiting on it); kErrorFileTooLarge past `maxBytes`; another Win32
// error. Blocks on file I/O only.
inline constexpr size_t kReadWholeFileLimit = 16 * 1024 * 1024;
uint32_t ReadWholeFile(const std::string& path, std::string* content, size_t maxBytes = kReadWholeFileLimit);
void RemoveFile(const std::string& path);

// Microseconds of the monotonic clock (the same clock as PerformanceCounter).
int64_t MonotonicMicroseconds();

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
  // negative: no limit). Blocks.
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

// A client of a SOCK_SEQPACKET socket (the HID interface).
class SeqpacketClient {
 public:
  SeqpacketClient() = default;
  ~SeqpacketClient();
  SeqpacketClient(const SeqpacketClient&) = delete;
  SeqpacketClient& operator=(const SeqpacketClient&) = delete;

  // 0, kErrorFileNotFound when nobody serves `path`, or another Win32 error.
  uint32_t Connect(const std::string& path);
  // 0, kErrorDeviceNotConnected when the server has closed the connection.
  uint32_t Send(const uint8_t* data, size_t length);
  // One message: its length, 0 when none came within timeoutMs (negative:
  // no limit), -1 when the server closed the connection (LastError
  // kErrorDeviceNotConnected) or on an error (LastError set).
  long Receive(uint8_t* buffer, size_t capacity, int timeoutMs);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// One control command: sends `line`, waits up to timeoutMs for the one-line
// answer. 0, kErrorFileNotFound when no server listens, kErrorTimeout, or
// another Win32 error.
uint32_t ControlRequest(const std::string& ctlPath, const std::string& line, std::string* reply, int timeoutMs);

// Detaching: DaemonStart forks. The parent waits until the child calls
// DaemonReady, prints the child's process id on standard output and gets 0,
// or gets 1 when the child ended first; it should then exit with that code.
// The child gets -1, runs in a new session, and after DaemonReady has its
// standard streams on /dev/null.
int DaemonStart();
void DaemonReady();

}  // namespace zq::platform
