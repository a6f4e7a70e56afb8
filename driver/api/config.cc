#include "driver/api/config.h"

#include <cstring>

#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "platform/ini.h"

namespace zq::drv {
namespace {

constexpr const char* kSection = "RFRW_Drv";
// The module path is read with a limit of 259 characters.
constexpr size_t kModulePathLimit = 259;

}  // namespace

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

namespace {

// The keys of section "RFRW_Drv" in the order they are read, each with its
// field, its default and the line that logs its value (none for keys whose
// values are not logged). The keys "BlockTimeout " and "RetryTimeout "
// carry a trailing blank; the later "RetryTimeout" is a separate lookup into
// a separate value.
enum class KeyGroup { kLog, kDriver };

struct IniKey {
  KeyGroup group;
  const char* key;
  int32_t SharedArea::*number;            // a number, or
  char (SharedArea::*text)[kConfigTextSize];  // a text
  int32_t numberDefault;
  const char* textDefault;
  const char* logLine;  // takes the value; nullptr: not logged
};

constexpr IniKey Number(KeyGroup g, const char* key, int32_t SharedArea::*field, int32_t fallback,
                        const char* logLine = nullptr) {
  return {g, key, field, nullptr, fallback, nullptr, logLine};
}
constexpr IniKey Text(const char* key, char (SharedArea::*field)[kConfigTextSize], const char* fallback,
                      const char* logLine = nullptr) {
  return {KeyGroup::kDriver, key, nullptr, field, 0, fallback, logLine};
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
    Text("DspFileName", &SharedArea::dspFileName, "ZQRWDSP01.dwl"),
    Text("HidCommDllTrace", &SharedArea::hidCommDllTrace, "", "IniFile HidCommDllTrace = %s"),
    Number(kDrv, "DspDownloadCutMode", &SharedArea::dspDownloadCutMode, 0, "IniFile DspDownloadCutMode = %d"),
    Number(kDrv, "DspAlwaysDownloadMode", &SharedArea::dspAlwaysDownloadMode, 0, "IniFile DspAlwaysDownloadMode = %d"),
    Number(kDrv, "DspPassThroughMode", &SharedArea::dspPassThroughMode, 0, "IniFile DspPassThroughMode = %d"),
    Number(kDrv, "GpioInitialData", &SharedArea::gpioInitialData, 0x0084, "IniFile GpioInitialData = 0x%04x"),
    Number(kDrv, "AdminCheckCut", &SharedArea::adminCheckCut, 0, "IniFile AdminCheckCut = %d"),
    Number(kDrv, "HidDeviceOpenRetryCount", &SharedArea::hidDeviceOpenRetryCount, 20),
    Number(kDrv, "RwPowerOffOnRetryCount", &SharedArea::rwPowerOffOnRetryCount, 3),
    Number(kDrv, "CharacterTimeout", &SharedArea::characterTimeout, 500),
    Number(kDrv, "RetryTimeout", &SharedArea::retryTimeoutLink, 15000),
};

// Reads every key of `group` in its order, then logs the values of those
// that have a line, in the same order.
void ReadKeys(KeyGroup group, SharedArea& a, const platform::IniText& ini) {
  for (const IniKey& k : kIniKeys) {
    if (k.group != group) continue;
    if (k.number) {
      a.*k.number = ini.GetInt(kSection, k.key, k.numberDefault);
    } else {
      CopyConfigText(a.*k.text, kConfigTextSize, ini.GetString(kSection, k.key, k.textDefault, kConfigTextSize));
    }
  }
  for (const IniKey& k : kIniKeys) {
    if (k.group != group || !k.logLine) continue;
    if (k.number) {
      OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, a.*k.number);
    } else {
      OutputLog(LogLevel::kError, 0, nullptr, 0, k.logLine, a.*k.text);
    }
  }
}

}  // namespace

void ReadLogSettings(SharedArea& area, const platform::IniText& ini) { ReadKeys(KeyGroup::kLog, area, ini); }

void ReadDriverConfig(SharedArea& area, const platform::IniText& ini) { ReadKeys(KeyGroup::kDriver, area, ini); }

}  // namespace zq::drv
