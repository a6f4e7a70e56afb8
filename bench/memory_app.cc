// zq_bench_memory_app: an application holding the installed driver with a
// port open, driven line by line from standard input by bench/memory.py,
// which reads this process's, the simulator's and the collector's resident
// memory between the steps. Each command is answered with one line on
// standard output, "ok ..." or "fail ...":
//
//   open          install the driver in DIR (argument 1), start its
//                 simulated reader, load the library, RFRW_Open the port;
//                 logging on at LogLevel 1 (the collector runs)
//   tags FILE     the simulator loads the tags of FILE
//   inventory N   N inventories (08 01 00 02) through the driver
//
// End of input closes the port, unloads the library and stops the
// simulator. Before "open" the process holds nothing of the driver: its
// memory then is the baseline the driver's is measured against.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/installed_driver.h"

namespace {

using zq::bench::InstalledDriver;
using zq::bench::kPort;

// One inventory with signal strengths; true when the reader answered 90 00.
bool Inventory(InstalledDriver& driver) {
  const uint8_t command[] = {0x08, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00};
  std::vector<uint8_t> response(4096);
  int32_t length = static_cast<int32_t>(response.size());
  const int32_t r = driver.transmit(kPort, sizeof command, command, &length, response.data());
  return r == 0 && length >= 2 && response[length - 2] == 0x90 && response[length - 1] == 0x00;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: zq_bench_memory_app DIR  (commands on standard input)\n";
    return 2;
  }
  const std::string dir = argv[1];
  const std::string ns = "zq-memory-" + dir.substr(dir.find_last_of('/') + 1);
  setenv("ZELQUAR_NAMESPACE", ns.c_str(), 1);
  setenv("ZELQUAR_SIM_DIR", (dir + "/sim").c_str(), 1);
  std::unique_ptr<InstalledDriver> driver;
  std::cout << "ok started" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "open" && !driver) {
      // The collector sits beside the library, as in an installation.
      std::filesystem::create_directories(dir);
      std::filesystem::copy_file(ZQ_OUTLOG_PATH, dir + "/ZELQUAR_Outlog",
                                 std::filesystem::copy_options::overwrite_existing);
      driver = std::make_unique<InstalledDriver>(zq::bench::InstalledOptions{
          .dir = dir, .ini = "AdminCheckCut=1\nLogFileFlg=1\nLogLevel=1\n"});
      std::cout << (driver->ready() ? "ok open" : "fail open") << std::endl;
    } else if (command == "tags" && driver) {
      std::string file;
      in >> file;
      const std::string answer = driver->Sim("tags load " + file);
      std::cout << (answer.rfind("OK", 0) == 0 ? "ok " : "fail ") << answer << std::endl;
    } else if (command == "inventory" && driver) {
      int n = 0;
      in >> n;
      int done = 0;
      while (done < n && Inventory(*driver)) ++done;
      std::cout << (done == n ? "ok " : "fail ") << done << std::endl;
    } else {
      std::cout << "fail unknown command: " << line << std::endl;
    }
  }
  return 0;
}
