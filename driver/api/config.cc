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

void ReadDriverConfig(SharedArea& a, const platform::IniText& ini) {
  // The keys "BlockTimeout " and "RetryTimeout " carry a trailing blank; the
  // later "RetryTimeout" is a separate lookup into a separate value.
  a.blockTimeout = ini.GetInt(kSection, "BlockTimeout ", 2300);
  a.retryTimeoutApi = ini.GetInt(kSection, "RetryTimeout ", 15000);
  a.transmitRetryNum = ini.GetInt(kSection, "TransmitRetryNum", 10);
  a.openRetryNum = ini.GetInt(kSection, "OpenRetryNum", 10);
  a.openTimeoutRetryNum = ini.GetInt(kSection, "OpenTimeoutRetryNum", 5);
  a.dspRfSendMaxTime = ini.GetInt(kSection, "DspRfSendMaxTime", 3);
  CopyConfigText(a.pidVid, sizeof a.pidVid, ini.GetString(kSection, "PID_VID", "vid_FFF1&pid_7C02", kConfigTextSize));
  CopyConfigText(a.dspFileName, sizeof a.dspFileName,
           ini.GetString(kSection, "DspFileName", "ZQRWDSP01.dwl", kConfigTextSize));
  CopyConfigText(a.hidCommDllTrace, sizeof a.hidCommDllTrace,
           ini.GetString(kSection, "HidCommDllTrace", "", kConfigTextSize));
  a.dspDownloadCutMode = ini.GetInt(kSection, "DspDownloadCutMode", 0);
  a.dspAlwaysDownloadMode = ini.GetInt(kSection, "DspAlwaysDownloadMode", 0);
  a.dspPassThroughMode = ini.GetInt(kSection, "DspPassThroughMode", 0);
  a.gpioInitialData = ini.GetInt(kSection, "GpioInitialData", 0x0084);
  a.adminCheckCut = ini.GetInt(kSection, "AdminCheckCut", 0);
  a.hidDeviceOpenRetryCount = ini.GetInt(kSection, "HidDeviceOpenRetryCount", 20);
  a.rwPowerOffOnRetryCount = ini.GetInt(kSection, "RwPowerOffOnRetryCount", 3);
  a.characterTimeout = ini.GetInt(kSection, "CharacterTimeout", 500);
  a.retryTimeoutLink = ini.GetInt(kSection, "RetryTimeout", 15000);

  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile BlockTimeout = %d", a.blockTimeout);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile RetryTimeout = %d", a.retryTimeoutApi);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile TransmitRetryNum = %d", a.transmitRetryNum);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile OpenRetryNum = %d", a.openRetryNum);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile OpenTimeoutRetryNum = %d", a.openTimeoutRetryNum);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile DspRfSendMaxTime = %d", a.dspRfSendMaxTime);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile PID_VID = %s", a.pidVid);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile HidCommDllTrace = %s", a.hidCommDllTrace);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile DspDownloadCutMode = %d", a.dspDownloadCutMode);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile DspAlwaysDownloadMode = %d", a.dspAlwaysDownloadMode);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile DspPassThroughMode = %d", a.dspPassThroughMode);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile GpioInitialData = 0x%04x", a.gpioInitialData);
  OutputLog(LogLevel::kError, 0, nullptr, 0, "IniFile AdminCheckCut = %d", a.adminCheckCut);
}

}  // namespace zq::drv
