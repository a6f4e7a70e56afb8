// The INI file's keys: the shared settings the first process of the system
// reads into the shared area, and the settings every process reads for
// itself (what it may load and do). Sections: files; the key table; reading.
#include "driver/api/config.h"

#include <cstdint>
#include <cstring>

#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/files.h"
#include "platform/os/ini.h"

namespace zq::drv {
namespace {

constexpr const char* kSection = "RFRW_Drv";
// The module path is read with a limit of 259 characters.
constexpr size_t kModulePathLimit = 259;

}  // namespace

// ---- files -------------------------------------------------------------------

void CopyConfigText(char* dst, size_t size, const std::string& src) {
  if (size == 0) return;
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

ModuleFiles FilesBesideModule(const std::string& modulePath) {
  std::string path = modulePath.substr(0, kModulePathLimit);
  size_t slash = path.find_last_of('/');
  ModuleFiles files;
  files.libraryDir = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
  files.iniPath = files.libraryDir + "ZELQUAR_Drv.ini";
  return files;
}

// ---- the key table ---------------------------------------------------------------

namespace {

// The keys of section "RFRW_Drv" in the order they are read, each with its
// place (a field of the shared area, or of this process's configuration),
// its default and the line that logs its value (none for keys whose values
// are not logged). The keys "BlockTimeout " and "RetryTimeout " carry a
// trailing blank; the later "RetryTimeout" is a separate lookup into a
// separate value. Numbers are clamped to their documented range.
enum class KeyGroup { kLog, kDriver, kProcess };

struct IniKey {
  KeyGroup group;
  const char* key;
  int32_t SharedArea::*number;            // a shared number, or
  char (SharedArea::*text)[kConfigTextSize];  // a shared text, or
  int32_t ProcessConfig::*localNumber;    // a number of this process, or
  std::string ProcessConfig::*localText;  // a text of this process
  int32_t numberDefault;
  const char* textDefault;
  const char* logLine;  // takes the value; nullptr: not logged
  NumberRange range;    // of a number of this process (shared numbers: RangeOf)
};

constexpr NumberRange kAnyNumber{INT32_MIN, INT32_MAX};

constexpr IniKey Number(KeyGroup g, const char* key, int32_t SharedArea::*field, int32_t fallback,
                        const char* logLine = nullptr) {
  return {g, key, field, nullptr, nullptr, nullptr, fallback, nullptr, logLine, kAnyNumber};
}
constexpr IniKey Text(const char* key, char (SharedArea::*field)[kConfigTextSize], const char* fallback,
                      const char* logLine = nullptr) {
  return {KeyGroup::kDriver, key, nullptr, field, nullptr, nullptr, 0, fallback, logLine, kAnyNumber};
}
constexpr IniKey LocalNumber(const char* key, int32_t ProcessConfig::*field, int32_t fallback, NumberRange range,
                             const char* logLine = nullptr) {
  return {KeyGroup::kProcess, key, nullptr, nullptr, field, nullptr, fallback, nullptr, logLine, range};
}
constexpr IniKey LocalText(const char* key, std::string ProcessConfig::*field, const char* fallback,
                           const char* logLine = nullptr) {
  return {KeyGroup::kProcess, key, nullptr, nullptr, nullptr, field, 0, fallback, logLine, kAnyNumber};
}

constexpr KeyGroup kLog = KeyGroup::kLog;
constexpr KeyGroup kDrv = KeyGroup::kDriver;

constexpr IniKey kIniKeys[] = {
    Number(kLog, "LogFileFlg", &SharedArea::logFileFlg, 0),
    Number(kLog, "LogLevel", &SharedArea::logLevel, kDefaultLogLevel),
    Number(kLog, "LogDisp", &SharedArea::logDisp, 0),
    Number(kDrv, "BlockTimeout ", &SharedArea::blockTimeout, 2300, "IniFile BlockTimeout = %d"),
    Number(kDrv, "RetryTimeout ", &SharedArea::retryTimeoutApi, 15000, "IniFile RetryTimeout = %d"),
    Number(kDrv, "TransmitRetryNum", &SharedArea::transmitRetryNum, 10, "IniFile TransmitRetryNum = %d"),
    Number(kDrv, "OpenRetryNum", &SharedArea::openRetryNum, 10, "IniFile OpenRetryNum = %d"),
    Number(kDrv, "OpenTimeoutRetryNum", &SharedArea::openTimeoutRetryNum, 5, "IniFile OpenTimeoutRetryNum = %d"),
    Number(kDrv, "DspRfSendMaxTime", &SharedArea::dspRfSendMaxTime, 3, "IniFile DspRfSendMaxTime = %d"),
    Text("PID_VID", &SharedArea::pidVid, "vid_FFF1&pid_7C02", "IniFile PID_VID = %s"),
    LocalText("DspFileName", &ProcessConfig::dspFileName, "ZQRWDSP01.dwl"),
    Text("HidCommDllTrace", &SharedArea::hidCommDllTrace, "", "IniFile HidCommDllTrace = %s"),
    Number(kDrv, "DspDownloadCutMode", &SharedArea::dspDownloadCutMode, 0, "IniFile DspDownloadCutMode = %d"),
    Number(kDrv, "DspAlwaysDownloadMode", &SharedArea::dspAlwaysDownloadMode, 0, "IniFile DspAlwaysDownloadMode = %d"),
    Number(kDrv, "DspPassThroughMode", &SharedArea::dspPassThroughMode, 0, "IniFile DspPassThroughMode = %d"),
    Number(kDrv, "GpioInitialData", &SharedArea::gpioInitialData, 0x0084, "IniFile GpioInitialData = 0x%04x"),
    LocalNumber("AdminCheckCut", &ProcessConfig::adminCheckCut, 0, kAnyNumber, "IniFile AdminCheckCut = %d"),
    Number(kDrv, "HidDeviceOpenRetryCount", &SharedArea::hidDeviceOpenRetryCount, 20),
    Number(kDrv, "RwPowerOffOnRetryCount", &SharedArea::rwPowerOffOnRetryCount, 3),
    Number(kDrv, "CharacterTimeout", &SharedArea::characterTimeout, 500),
    Number(kDrv, "RetryTimeout", &SharedArea::retryTimeoutLink, 15000),
    LocalNumber("LockTimeout", &ProcessConfig::lockTimeoutMs, 300000, {1000, 3600000}),
};

bool ReadHere(const IniKey& k, KeyGroup group) {
  // The process's own keys are read by every process, and logged with the
  // shared driver keys by the first one, in the table's order.
  return k.group == group || (group == KeyGroup::kDriver && k.group == KeyGroup::kProcess);
}

void ReadKey(const IniKey& k, SharedArea& a, ProcessConfig& local, const platform::IniText& ini) {
  if (k.number) {
    a.*k.number = Clamp(ini.GetInt(kSection, k.key, k.numberDefault), RangeOf(k.number));
  } else if (k.text) {
    CopyConfigText(a.*k.text, kConfigTextSize, ini.GetString(kSection, k.key, k.textDefault, kConfigTextSize));
  } else if (k.localNumber) {
    local.*k.localNumber = Clamp(ini.GetInt(kSection, k.key, k.numberDefault), k.range);
  } else if (k.localText) {
    local.*k.localText = ini.GetString(kSection, k.key, k.textDefault, kConfigTextSize);
  }
}

void LogKey(const IniKey& k, const SharedArea& a, const ProcessConfig& local) {
  if (!k.logLine) return;
  if (k.number) {
    OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, a.*k.number);
  } else if (k.text) {
    OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, a.*k.text);
  } else if (k.localNumber) {
    OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, local.*k.localNumber);
  } else if (k.localText) {
    OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, (local.*k.localText).c_str());
  }
}

}  // namespace

// ---- reading ---------------------------------------------------------------------

void ReadProcessConfig(ProcessConfig& local, const std::string& modulePath) {
  const ModuleFiles files = FilesBesideModule(modulePath);
  local.libraryDir = files.libraryDir;
  local.iniPath = files.iniPath;
  local.iniOwnedByRoot = platform::OnlyRootMayChange(files.iniPath);
  const platform::IniFile ini(files.iniPath);
  SharedArea scratch{};
  for (const IniKey& k : kIniKeys) {
    if (k.group == KeyGroup::kProcess) ReadKey(k, scratch, local, ini.text());
  }
}

void ReadLogSettings(SharedArea& area, const platform::IniText& ini) {
  ProcessConfig scratch;
  for (const IniKey& k : kIniKeys) {
    if (k.group == KeyGroup::kLog) ReadKey(k, area, scratch, ini);
  }
}

void ReadDriverConfig(SharedArea& area, const platform::IniText& ini) {
  const ProcessConfig& local = Config();
  ProcessConfig scratch;
  for (const IniKey& k : kIniKeys) {
    if (k.group == KeyGroup::kDriver) ReadKey(k, area, scratch, ini);
  }
  for (const IniKey& k : kIniKeys) {
    if (ReadHere(k, KeyGroup::kDriver)) LogKey(k, area, local);
  }
}

}  // namespace zq::drv
