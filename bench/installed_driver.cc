#include "bench/installed_driver.h"

#include <dlfcn.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "tests/support/child_process.h"
#include "tests/support/namespace_objects.h"

namespace zq::bench {

namespace fs = std::filesystem;

InstalledDriver::InstalledDriver(InstalledOptions options) : options_(std::move(options)) {
  const std::string& dir = options_.dir;
  fs::create_directories(dir + "/sim");
  fs::copy_file(ZQ_DRIVER_LIB_PATH, dir + "/libZELQUAR_Drv.so", fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_COMM_LIB_PATH, dir + "/libZqRfrwCommVO.so", fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_FIRMWARE_PATH, FirmwarePath(), fs::copy_options::overwrite_existing);
  std::ofstream(dir + "/ZELQUAR_Drv.ini") << "[RFRW_Drv]\n" << options_.ini;
  sim_ = std::make_unique<zq::test::SimulatedReader>(
      zq::test::SimOptions{.dir = dir + "/sim", .scenario = options_.scenario, .wireTiming = options_.wireTiming});
  lib_ = dlopen((dir + "/libZELQUAR_Drv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) return;
  zq::test::DriverExports exports;
  const bool found = exports.LookUp(lib_);
  open = exports.open;
  close = exports.close;
  transmit = exports.transmit;
  ready_ = sim_->published() && found;
  if (ready_ && options_.openUnit) {
    opened_ = open(kPort, 0, nullptr) == 0;
    ready_ = opened_;
  }
}

InstalledDriver::~InstalledDriver() {
  if (opened_) close(kPort);
  if (lib_) dlclose(lib_);
  sim_.reset();
  std::error_code ec;
  fs::remove_all(options_.dir, ec);
  // Named objects that outlive the unload (the comm library's events) would
  // pile up, one set per benchmark run.
  if (const char* ns = std::getenv("ZELQUAR_NAMESPACE"); ns && *ns) zq::test::RemoveNamespaceObjects(ns);
}

double ProcessCpuUs() { return 1e6 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

uint64_t InstalledDriver::Commands() const {
  return sim_->State()["counters"]["commands_received"].get<uint64_t>();
}

bool InstalledDriver::RealtimePacing() const { return sim_->State().value("realtime_pacing", false); }

bool InstalledDriver::MakeFirmware(const std::string& version, int blocks) const {
  zq::test::ChildProcess tool(
      {zq::test::SimulatorProgram(), "mkfw", "--version", version, "--blocks", std::to_string(blocks), FirmwarePath()},
      {});
  return tool.Wait() == 0;
}

}  // namespace zq::bench
