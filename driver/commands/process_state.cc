#include "driver/commands/process_state.h"

#include <mutex>

namespace zq::drv {
namespace {

thread_local uint32_t t_currentPort = 0;
thread_local int32_t t_retryTotalCount = 0;
thread_local int32_t t_retryFlag = 0;
ReaderSettingsMemory g_settings{};
std::once_flag g_settingsOnce;

}  // namespace

uint8_t g_ReaderTypeCode = 0;

uint32_t& CurrentPort() { return t_currentPort; }
int32_t& RwPowerOffOnRetryTotalCount() { return t_retryTotalCount; }
int32_t& RwPowerOffOnRetryFlag() { return t_retryFlag; }
ReaderSettingsMemory& ReaderSettings() { return g_settings; }

void SetReaderSettingsDefaultsOnce() {
  std::call_once(g_settingsOnce, [] {
    g_settings.powerLevel = 0x14;
    g_settings.speedP1 = 0x00;
    g_settings.speedP2 = 0x00;
    g_settings.speedMode = 2;
    g_settings.delimiter = 0x00;
    g_settings.sendSpeed = 0x02;
    g_settings.receiveSpeed = 0x05;
    g_settings.channelMask = 0x0007FFFF;
  });
}

}  // namespace zq::drv
