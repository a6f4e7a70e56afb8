#include "driver/transport/device.h"

#include "ZELQUAR_Drv.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/bridge.h"
#include "driver/transport/hid_binding.h"
#include "platform/os/environment.h"
#include "platform/os/ini.h"

namespace zq::drv {
namespace {

constexpr int kConfigurationAttempts = 11;

std::recursive_mutex g_bridge;

void SetOpenMarkers(PortDataArea& area) {
  area.openMarkers[0] = area.openMarkers[1] = area.openMarkers[2] = ~static_cast<uintptr_t>(0);
  area.openMarkers[3] = 0;
}

// One run of the configuration chain; true when every step succeeded.
bool Configure(const PortDataArea& area) {
  if (k_GPIO_Initial() != 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "k_GPIO_Initial() error end");
    return false;
  }
  if (HidUArtEnable() != 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "HidUArtEnable() error end");
    return false;
  }
  if (HidSetUartConfig(area) != 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "HidSetUartConfig() error end");
    return false;
  }
  if (GpioSwitchBack() != 1) return false;  // it logged its own error
  if (k_RW_ONOFF(1) != 0) {
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "k_RW_ONOFF() error end");
    return false;
  }
  return true;
}

// The serial number the COM number of `port` is bound to, read afresh at
// every open: a process may set the variable just before it opens.
std::string ReaderSerialOfPort(uint32_t port) {
  const uint32_t com = (port >> 8) & 0xFFu;
  const std::string n = std::to_string(com);
  const platform::IniFile ini(Config().iniPath);
  const std::string iniValue = ini.text().GetString("RFRW_Drv", "ReaderSerial" + n, "", 256);
  return ReaderSerialOf(iniValue, platform::EnvironmentValue("ZELQUAR_READER_SERIAL_" + n));
}

}  // namespace

std::unique_lock<std::recursive_mutex> HoldBridge() { return std::unique_lock<std::recursive_mutex>(g_bridge); }

int32_t k_RS_Open(PortDataArea& area) {
  // The configuration powers the reader on and reads away what it says at
  // start-up: another unit's exchange must not be running meanwhile.
  const auto bridge = HoldBridge();
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "k_RS_Open (%d)", 587);
  const DeviceScope device(area.port);
  const std::string serial = ReaderSerialOfPort(area.port);
  if (!serial.empty()) {
    OutputLog(LogLevel::kStep, area.port, nullptr, 0, "k_RS_Open COM%u bound to reader serial %s",
              static_cast<unsigned>((area.port >> 8) & 0xFFu), serial.c_str());
  }
  const int32_t opened = HidRwOpen((area.port >> 8) & 0xFFu, serial);
  if (!HidBound()) return RFRW_ERROR_FILE_MISSING;
  if (opened == kCommDeviceNotFound && !serial.empty()) {
    // The reader asked for is not plugged in: restarting some other bridge
    // would not bring it.
    OutputLog(LogLevel::kError, area.port, nullptr, 0, "k_RS_Open() no reader with serial number %s is present (COM%u)",
              serial.c_str(), static_cast<unsigned>((area.port >> 8) & 0xFFu));
    HidUnbind();
    return RFRW_ERROR_DEVICE;
  }
  if (opened != 0) {
    const int32_t retries = Bounded(&SharedArea::hidDeviceOpenRetryCount, 20);
    bool reopened = false;
    for (int32_t i = 0; i < retries && !reopened; ++i) {
      OutputLog(LogLevel::kError, area.port, nullptr, 0, "HidRw_DeviceOpen() retry, RetryCount=%d", i);
      reopened = HidDeviceRestart() == 0;
    }
    if (!reopened) {
      OutputLog(LogLevel::kError, area.port, nullptr, 0, "k_RS_Open()1 error end");
      HidUnbind();
      return RFRW_ERROR_DEVICE;
    }
  }
  for (int attempt = 0; attempt < kConfigurationAttempts; ++attempt) {
    if (Configure(area)) {
      SetOpenMarkers(area);
      return RFRW_SUCCESS;
    }
    // Every failed attempt, the last one too, leaves the bridge restarted.
    HidDeviceRestart();
  }
  OutputLog(LogLevel::kError, area.port, nullptr, 0, "k_RS_Open()2 error end");
  return RFRW_ERROR_DEVICE;
}

void RW_Close(PortDataArea& area) {
  const auto bridge = HoldBridge();
  const DeviceScope device(area.port);
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "RW_Close() Call");
  k_RW_ONOFF(0);
  k_GPIO_ONOFF(7, 0);
  k_GPIO_ONOFF(8, 0);
  const int32_t closed = HidRwClose();
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "HidRwClose() End  dwRet=0x%X", static_cast<uint32_t>(closed));
  for (uintptr_t& marker : area.openMarkers) marker = 0;
  area.state = -1;
}

}  // namespace zq::drv
