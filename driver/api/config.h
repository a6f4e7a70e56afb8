// The driver's settings from section "RFRW_Drv" of "ZELQUAR_Drv.ini".
#pragma once

#include <cstddef>
#include <string>

namespace zq::platform {
class IniText;
}

namespace zq::drv {

struct SharedArea;

// The INI path and the library directory (with its trailing '/') for a
// library at `modulePath`. Pure.
struct ModuleFiles {
  std::string iniPath;
  std::string libraryDir;
};
ModuleFiles FilesBesideModule(const std::string& modulePath);

// Copies `src` into the zero-terminated text field dst[size], cut to fit.
void CopyConfigText(char* dst, size_t size, const std::string& src);

// Reads "LogFileFlg", "LogLevel" and "LogDisp" into the shared area (the
// first attach, before the log is open).
void ReadLogSettings(SharedArea& area, const platform::IniText& ini);

// Reads every other driver key in its order into the shared area, then logs
// the values of the keys that have a configuration line, in the same order.
void ReadDriverConfig(SharedArea& area, const platform::IniText& ini);

}  // namespace zq::drv
