// The driver as an application finds it, for the benchmarks: a directory
// holding the driver library, its comm library, the firmware file and an
// INI file, a simulated reader in its sim/ subdirectory, and the library
// loaded from there with dlopen; the exported calls ready to use.
//
// The benchmark program names the directory and sets ZELQUAR_NAMESPACE and
// ZELQUAR_SIM_DIR (dir + "/sim") before anything loads the library, so its
// objects stay apart from any running system. Not thread-safe: one thread
// owns an instance. The destructor closes the unit it opened, unloads the
// library, stops the simulator, removes the directory and the namespace's
// named objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/driver_exports.h"
#include "tests/support/sim_fixture.h"

namespace zq::bench {

using OpenFn = decltype(zq::test::DriverExports::open);
using CloseFn = decltype(zq::test::DriverExports::close);
using TransmitFn = decltype(zq::test::DriverExports::transmit);

inline constexpr uint32_t kPort = 0x0100;  // COM number 1, unit 0

// The CPU time this process has used so far, in microseconds: all its
// threads (the caller's, the link thread, the comm library's reader), not
// the simulator's, which runs in a process of its own.
double ProcessCpuUs();

struct InstalledOptions {
  std::string dir;             // the installation; created, removed at the end
  bool wireTiming = false;     // the simulator paces the UART and adds module times
  std::string scenario{};      // a scenario file for the simulator; "" the default reader
  bool openUnit = true;        // RFRW_Open(kPort) in the constructor
  std::string ini = "AdminCheckCut=1\nLogFileFlg=0\n";  // the lines of [RFRW_Drv]
};

class InstalledDriver {
 public:
  explicit InstalledDriver(InstalledOptions options);
  ~InstalledDriver();
  InstalledDriver(const InstalledDriver&) = delete;
  InstalledDriver& operator=(const InstalledDriver&) = delete;

  // True once the library is loaded, the simulator published and, with
  // openUnit, kPort open.
  bool ready() const { return ready_; }
  const std::string& dir() const { return options_.dir; }
  std::string FirmwarePath() const { return options_.dir + "/ZQRWDSP01.dwl"; }
  // One control command to the simulator; its answer line.
  std::string Sim(const std::string& command) const { return sim_->Control(command); }
  // The simulator's count of commands it received.
  uint64_t Commands() const;
  // Whether the simulator's pacing runs ahead of ordinary threads (granted
  // to root; otherwise its bytes may end late on a busy machine).
  bool RealtimePacing() const;
  // Installs a firmware file of `version` (4 hex digits) and `blocks`
  // blocks made by the simulator's tool; false when the tool failed.
  bool MakeFirmware(const std::string& version, int blocks) const;

  OpenFn open = nullptr;
  CloseFn close = nullptr;
  TransmitFn transmit = nullptr;

 private:
  InstalledOptions options_;
  std::unique_ptr<zq::test::SimulatedReader> sim_;
  void* lib_ = nullptr;
  bool opened_ = false;
  bool ready_ = false;
};

}  // namespace zq::bench
