// A driver installation for one test: a temporary directory holding the
// driver library and its INI file, a unique object namespace, a simulator
// directory, and the log mirror; plus the probe program that loads the
// library from there the way an application does.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/sim_fixture.h"

namespace zq::test {

class InstallDir {
 public:
  // `iniBody`: the lines of section [RFRW_Drv]; nullopt installs no INI file.
  // The driver library, the log collector and the firmware file that
  // matches the simulated reader's firmware (ZQRWDSP01.dwl) are installed.
  // `objectNamespace` "" gives the installation a namespace of its own.
  // The comm library is installed too, and a simulated reader runs in the
  // installation's simulator directory unless `withReader` is false.
  explicit InstallDir(std::optional<std::string> iniBody = std::string(), const std::string& objectNamespace = "",
                      bool withReader = true);
  ~InstallDir();  // removes the directory and the namespace's shared objects
  InstallDir(const InstallDir&) = delete;
  InstallDir& operator=(const InstallDir&) = delete;

  const std::string& path() const { return path_; }
  const std::string& objectNamespace() const { return namespace_; }
  std::string libraryPath() const { return path_ + "/libZELQUAR_Drv.so"; }

  std::string collectorPath() const { return path_ + "/ZELQUAR_Outlog"; }
  std::string commLibraryPath() const { return path_ + "/libZqRfrwCommVO.so"; }
  std::string simDir() const { return path_ + "/sim"; }
  std::string firmwarePath() const { return path_ + "/ZQRWDSP01.dwl"; }
  // One control command to the simulated reader ("state", "fault ..."); its
  // answer line.
  std::string SimControl(const std::string& command) const;
  // The simulated reader's state report; an empty object without one.
  nlohmann::json SimState() const;
  std::string logPath() const { return path_ + "/ZELQUAR_DrvDLL_Log.LOG"; }

  void WriteIni(const std::string& body) const;
  void RemoveIni() const;
  void WriteFile(const std::string& name, const std::string& bytes) const;
  // The bytes of a firmware file made by `zelquar-sim mkfw` (version 4 hex
  // digits); "" when the tool failed.
  std::string MakeFirmware(const std::string& version, int blocks, bool lastBad = false) const;

  // The log mirror's lines so far.
  std::vector<std::string> LogLines() const;
  // Lines of the log mirror that contain `fragment`.
  std::vector<std::string> LogLinesWith(const std::string& fragment) const;

  std::map<std::string, std::string> Environment() const;

  // The log file's contents, decoded to one line per record ("!!" lines
  // for damaged or truncated stretches).
  std::vector<std::string> DecodedLog(const std::string& path = "") const;

  // Starts the probe program on this installation (its current directory
  // is the installation) (not yet loaded: send
  // "load"). The probe answers one line per command.
  // `extraEnv` adds to or overrides the installation's environment.
  std::unique_ptr<ChildProcess> StartProbe(const std::map<std::string, std::string>& extraEnv = {}) const;
  // Starts a probe and loads the library; fails the test when loading fails.
  std::unique_ptr<ChildProcess> StartLoadedProbe(const std::map<std::string, std::string>& extraEnv = {}) const;

 private:
  std::string path_;
  std::string namespace_;
  std::unique_ptr<SimulatedReader> sim_;
};

// Appended to a probe's "open PORT": an open data block that skips the
// firmware step and leaves the reader in boot mode, so the open attaches
// the device without any reader exchange. For units other than the one
// the simulated reader answers (unit 0).
inline const std::string kOpenWithoutReader = " 000000000000000000000000" "2354" "010100";

// Parses "key=value key=value" answers of the probe's inspect commands.
std::map<std::string, std::string> ParseFields(const std::string& line);

}  // namespace zq::test
