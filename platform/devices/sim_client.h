// The client's side of the reader simulator: where its directory is and
// whether it may be trusted, the HID interface's socket (SOCK_SEQPACKET, one
// message per report) and its control channel (one line each way), used by
// the simulated devices of hid_sim.cc, `zelquar-sim ctl` and tests. The
// server's side is in sim_server/, linked by the simulator alone.
//
// Results are Win32 numbers (win32_errors.h). Nothing here is thread-safe:
// one thread owns each object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace zq::platform
