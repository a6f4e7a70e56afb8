// ZELQUAR_Outlog: the log collector the driver starts. Its argument element
// 0 is the starting process's id in hexadecimal.
#include <algorithm>
#include <string>

#include "driver/state/shared_area_key.h"
#include "outlog/collector.h"
#include "platform/os/ini.h"
#include "platform/os/process.h"

int main(int, char** argv) {
  using namespace zq;
  outlog::Settings s;
  const std::string self = platform::OwnProgramPath().substr(0, 260);
  const size_t slash = self.find_last_of('/');
  s.dir = slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1);
  const platform::IniFile ini(s.dir + "ZELQUAR_Drv.ini");
  s.maxLogFileBytes = ini.text().GetInt("RFRW_Drv", "MaxLogFileByteLength", 40960000);
  s.maxBackups = std::clamp(ini.text().GetInt("RFRW_Drv", "MaxBackLogFileCount", 2), 0, outlog::kMaxBackupsLimit);
  s.watchedPid = outlog::ParseWatchedPid(argv[0]);
  s.libraryKey = drv::SharedAreaKey(s.dir + "libZELQUAR_Drv.so");
  return outlog::RunCollector(s);
}
