// The driver's settings from section "RFRW_Drv" of "ZELQUAR_Drv.ini".
#pragma once

#include <cstddef>
#include <string>

namespace zq::platform {
class IniText;
}

namespace zq::drv {

struct SharedArea;
struct ProcessConfig;

// The INI path and the library directory (with its trailing '/') for a
// library at `modulePath`. Pure.
struct ModuleFiles {
  std::string iniPath;
  std::string libraryDir;
};
ModuleFiles FilesBesideModule(const std::string& modulePath);

// Copies `src` into the zero-terminated text field dst[size], cut to fit.
void CopyConfigText(char* dst, size_t size, const std::string& src);

// Fills this process's own configuration from its copy of the library at
// `modulePath`: the files beside it, and the keys every process reads for
// itself ("AdminCheckCut", "DspFileName", "LockTimeout"). Every process
// calls it at attach, before it joins the shared area. Logs nothing.
void ReadProcessConfig(ProcessConfig& local, const std::string& modulePath);

// Reads "LogFileFlg", "LogLevel" and "LogDisp" into the shared area (the
// first attach, before the log is open).
void ReadLogSettings(SharedArea& area, const platform::IniText& ini);

// Reads every other shared driver key in its order into the shared area
// (numbers clamped to their documented ranges), then logs the values of the
// keys that have a configuration line, this process's own keys among them,
// in the same order. The first attach only.
void ReadDriverConfig(SharedArea& area, const platform::IniText& ini);

}  // namespace zq::drv
